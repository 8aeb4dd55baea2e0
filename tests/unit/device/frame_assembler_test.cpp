#include "device/frame_assembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frames/frame_builder.h"

namespace lindra {
namespace {

struct Frame {
  std::string bytes;
  size_t length;
  bool passes;
  bool operator==(const Frame&) const = default;
};

void PrintTo(const Frame& f, std::ostream* os) {
  *os << "{\"";
  for (unsigned char c : f.bytes) {
    if (c >= 0x20 && c < 0x7F)
      *os << c;
    else
      *os << "\\x" << std::hex << static_cast<int>(c) << std::dec;
  }
  *os << "\", " << f.length << ", " << (f.passes ? "passes" : "dropped") << "}";
}

std::vector<Frame> Assemble(uint32_t model, LinkKind link, const std::vector<std::string>& chunks) {
  FrameAssembler assembler(model, link);
  std::vector<Frame> frames;
  for (const auto& chunk : chunks)
    assembler.Feed(chunk, [&](std::string_view frame, size_t length, bool passes) {
      frames.push_back({std::string(frame), length, passes});
    });
  return frames;
}

using namespace std::string_literals;

struct Case {
  const char* name;
  uint32_t model;
  LinkKind link;
  std::vector<std::string> chunks;
  std::vector<Frame> expected;
};

const Case kCases[] = {
    // Samsung: CR or a zero byte ends a frame; a CR at a chunk's end does not reach into the next.
    {"samsung_split_over_reads", 2, LinkKind::Serial, {"AB", "C\rDE", "F\r"}, {{"ABC", 3, true}, {"DEF", 3, true}}},
    {"samsung_zero_byte_ends_frame", 2, LinkKind::Serial, {"AB\0CD\r"s}, {{"AB", 2, true}, {"CD", 2, true}}},
    {"samsung_cr_zero_pair_is_one_end", 2, LinkKind::Serial, {"AB\r\0CD\r"s}, {{"AB", 2, true}, {"CD", 2, true}}},
    {"samsung_cr_lf_is_not_a_pair", 102, LinkKind::Lan, {"AB\r\nCD\r"}, {{"AB", 2, true}, {"\nCD", 3, true}}},
    // Model 4 has no pair skip: the zero after CR ends an empty frame of its own.
    {"model4_no_pair_skip",
     4,
     LinkKind::Serial,
     {"  1a\r\0  1b\r"s},
     {{"  1a", 4, true}, {"", 0, false}, {"  1b", 4, true}}},
    {"model104_no_pair_skip", 104, LinkKind::Lan, {"  1a\r\0"s}, {{"  1a", 4, true}, {"", 0, false}}},
    {"model107_pair_skip_on_lan", 107, LinkKind::Lan, {"  1a\r\0  1b\r"s}, {{"  1a", 4, true}, {"  1b", 4, true}}},
    {"pair_skip_is_per_link",
     102,
     LinkKind::Serial,
     {"ab\r\0cd\r"s},
     {{"ab", 2, true}, {"", 0, false}, {"cd", 2, true}}},
    // Start marker: logged frames that lack it do not pass; model 3 restarts at it.
    {"marker_required", 103, LinkKind::Lan, {"xx  1abc\r  1def\r"}, {{"xx  1abc", 8, false}, {"  1def", 6, true}}},
    {"model3_discards_before_marker", 3, LinkKind::Serial, {"junk  1abc\r"}, {{"  1abc", 6, true}}},
    {"model3_marker_inside_a_marked_line_is_data",
     3,
     LinkKind::Serial,
     {"  1 201  10:07:23  1588\rjunk  1b\r"},
     {{"  1 201  10:07:23  1588", 23, true}, {"  1b", 4, true}}},
    {"model3_marker_split_over_reads", 3, LinkKind::Serial, {"junk ", " ", "1abc\r"}, {{"  1abc", 6, true}}},
    // LG: CR LF ends one frame; a lone LF ends an empty frame, which is dropped.
    {"lg_cr_lf", 5, LinkKind::Serial, {"hello\r\nworld\r\n"}, {{"hello", 5, true}, {"world", 5, true}}},
    {"lg_lone_lf", 6, LinkKind::Serial, {"\n"}, {{"", 0, false}}},
    {"lg_lan_cr_lf", 105, LinkKind::Lan, {"hello\r\n"}, {{"hello", 5, true}}},
    {"lg_pair_split_over_reads", 5, LinkKind::Serial, {"x1\r", "\nfoo\r", "\n"}, {{"x1", 2, true}, {"foo", 3, true}}},
    {"samsung_pair_split_over_reads", 2, LinkKind::Serial, {"ab\r", "\0cd\r"s}, {{"ab", 2, true}, {"cd", 2, true}}},
    {"one_byte_frame_dropped", 5, LinkKind::Serial, {"A\r\n"}, {{"A", 1, false}}},
    // Caller-ID boxes.
    {"mcid_ends_at_T", 7, LinkKind::Serial, {"0112:30:450212345678T"}, {{"0112:30:450212345678", 20, true}}},
    {"seeid4_ends_at_bracket",
     9,
     LinkKind::Serial,
     {"[1C\x02"
      "ab]"},
     {{"[1C\x02"
       "ab",
       6, true}}},
    {"callstar_any_of_four", 10, LinkKind::Serial, {"\x02I3ab\x03"}, {{"", 0, false}, {"I3ab", 4, true}}},
    {"callstar_S_and_E_end_frames", 10, LinkKind::Serial, {"aSbbE"}, {{"a", 1, false}, {"bb", 2, true}}},
    // CID-1000: the chunk's end ends a frame; a zero byte does too, and is not part of it.
    {"cid1000_chunk_or_zero_ends_frame",
     12,
     LinkKind::Serial,
     {"1\x02"
      "03123\x03",
      "2\x02"
      "03456\x03\0"s,
      "AB\0C"s},
     {{"1\x02"
       "03123\x03",
       8, true},
      {"2\x02"
       "03456\x03",
       8, true},
      {"AB", 2, true},
      {"C", 1, false}}},
    {"cti_default_rule", 202, LinkKind::Cti, {"201,701,02\0"s}, {{"201,701,02", 10, true}}},
};

class FrameRules : public ::testing::TestWithParam<Case> {};

TEST_P(FrameRules, DeliversExactlyTheFrames) {
  const Case& c = GetParam();
  EXPECT_EQ(Assemble(c.model, c.link, c.chunks), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Models, FrameRules, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameAssembler, SpeedBurumiKeepsItsTerminatorOnBothLinks) {
  for (LinkKind link : {LinkKind::Serial, LinkKind::Lan}) {
    const std::vector<Frame> frames = Assemble(11, link, {"\x50\x70\x72\x5F", "\x1F", "\x90\x9F"});
    const std::vector<Frame> expected{{"\x50\x70\x72\x5F", 3, true}, {"\x1F", 0, false}, {"\x90\x9F", 1, true}};
    EXPECT_EQ(frames, expected);
  }
}

TEST(FrameAssembler, Cid1000aFramesEveryChunkWithItsLastByte) {
  EXPECT_EQ(Assemble(13, LinkKind::Serial,
                     {"1\x02"
                      "0212\r",
                      "2\x02"
                      "0134\r"}),
            (std::vector<Frame>{{"1\x02"
                                 "0212\r",
                                 6, true},
                                {"2\x02"
                                 "0134\r",
                                 6, true}}));
  // A zero byte inside the chunk ends a frame one byte early, as in the device's buffer.
  EXPECT_EQ(Assemble(13, LinkKind::Serial, {"AB\0CD"s}), (std::vector<Frame>{{"AB", 1, true}, {"\0CD"s, 2, false}}));
  // A one-byte chunk is a one-byte frame, which is too short to parse.
  EXPECT_EQ(Assemble(13, LinkKind::Serial, {"X"}), (std::vector<Frame>{{"X", 0, false}}));
}

TEST(FrameAssembler, SeeIdPcEndsBeforeNdAndStartsTheNextWithIt) {
  const std::string report = "Report\r\nD\r\nNumber:0212345678\r\nEnd\r\n";
  const std::string first = "Report\r\nD\r\nNumber:0212345678\r\nE";
  const std::string second = "d\r\n" + first;
  const std::vector<Frame> frames = Assemble(8, LinkKind::Serial, {report, report});
  const std::vector<Frame> expected{{first, first.size(), true}, {second, second.size(), true}};
  EXPECT_EQ(frames, expected);
}

TEST(FrameAssembler, SeeIdPcEndsOnceAByteHasComeAfterTheCarriageReturn) {
  // "nd" CR as a chunk's last three bytes waits for the next byte, which ends the frame.
  FrameAssembler assembler(8, LinkKind::Serial);
  std::vector<Frame> frames;
  auto collect = [&](std::string_view frame, size_t length, bool passes) {
    frames.push_back({std::string(frame), length, passes});
  };
  assembler.Feed("aEnd\r", collect);
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(assembler.pending(), 2u);
  assembler.Feed("\nbEnd\r", collect);
  EXPECT_EQ(frames, (std::vector<Frame>{{"aE", 2, true}}));
  // A lost line hands back the bytes that were waiting too.
  EXPECT_EQ(assembler.DropPartial(), "d\r\nbEnd\r");
  assembler.Feed("\n", collect);
  EXPECT_EQ(frames.size(), 1u);
}

TEST(FrameAssembler, ALostConnectionDropsTheFrameInProgress) {
  FrameAssembler assembler(103, LinkKind::Lan);
  std::vector<Frame> frames;
  auto collect = [&](std::string_view frame, size_t length, bool passes) {
    frames.push_back({std::string(frame), length, passes});
  };
  assembler.Feed("  1first\r  1sec", collect);
  EXPECT_EQ(assembler.DropPartial(), "  1sec");
  assembler.Feed("  1third\r", collect);
  EXPECT_EQ(frames, (std::vector<Frame>{{"  1first", 8, true}, {"  1third", 8, true}}));
  EXPECT_EQ(assembler.DropPartial(), "");

  // An overlong frame in progress is dropped whole: the next one is not taken for its rest.
  assembler.Feed(std::string(5000, 'x'), collect);
  EXPECT_EQ(assembler.DropPartial().size(), FrameAssembler::kMaxFrameBytes);
  assembler.Feed("  1fourth\r", collect);
  EXPECT_EQ(frames.back(), (Frame{"  1fourth", 9, true}));
}

TEST(FrameAssembler, OverlongFramesAreCutHandedOverAndNeverParsed) {
  const std::string full(FrameAssembler::kMaxFrameBytes, 'A');
  // Exactly at the limit the frame is whole.
  auto frames = Assemble(2, LinkKind::Serial, {full + "\r"});
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (Frame{full, full.size(), true}));

  // Past it the frame is cut to the limit, the rest up to the terminator dropped, and
  // the next frame is untouched.
  frames = Assemble(2, LinkKind::Serial, {full, "BBBB", std::string(3000, 'C') + "\rok\r"});
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], (Frame{full, full.size(), false}));
  EXPECT_EQ(frames[1], (Frame{"ok", 2, true}));

  // A retained terminator still fits the buffer.
  frames = Assemble(11, LinkKind::Serial, {"\x50" + std::string(5000, 'x') + "\x5F"});
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].bytes.size(), FrameAssembler::kMaxFrameBytes);
  EXPECT_EQ(frames[0].length, FrameAssembler::kMaxFrameBytes - 1);
  EXPECT_EQ(frames[0].bytes.back(), '\x5F');
  EXPECT_FALSE(frames[0].passes);

  // Model 3's start marker begins a fresh frame, also after an overlong one.
  frames = Assemble(3, LinkKind::Serial, {std::string(5000, 'x') + "  1ab\r"});
  EXPECT_EQ(frames, (std::vector<Frame>{{"  1ab", 5, true}}));
}

// Every model's stream as its device sends it, with what a line adds between frames:
// the frames are the same however the reads cut the stream. The serial models 12 and
// 13 are framed by their reads (the link's quiet gap makes a read the message).
struct StreamCase {
  uint32_t model;
  LinkKind link;
  std::string before, after;  // bytes around every frame: noise, or the second byte of a pair
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << "model " << c.model; }

class FrameStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(FrameStream, SameFramesWhetherFedWholeSplitAnywhereOrByteByByte) {
  const StreamCase& c = GetParam();
  std::string stream;
  size_t built = 0;
  const bool callerIdBox = ModelOf(c.model).family() == FormatFamily::CallerId;
  // A time from 10:00 and a number that begins with 1 put "  1" inside a DCS 500 line.
  const char* const callers[] = {"0212340000", "15880001", "0101234567"};
  for (const char* caller : callers) {
    for (char kind : sim::SupportedKinds(c.model)) {
      const sim::CallSpec call{kind,  callerIdBox ? (c.model == 7 ? "01" : "1") : "701", "201", caller, "10:07:23",
                               "0211"};
      const std::string frame = sim::BuildFrame(c.model, call);
      ASSERT_FALSE(frame.empty()) << kind;
      stream += c.before + frame + c.after;
      ++built;
    }
  }
  const std::vector<Frame> whole = Assemble(c.model, c.link, {stream});
  EXPECT_EQ(std::count_if(whole.begin(), whole.end(), [](const Frame& f) { return f.passes; }),
            static_cast<std::ptrdiff_t>(built));
  for (size_t cut = 1; cut < stream.size(); ++cut)
    ASSERT_EQ(Assemble(c.model, c.link, {stream.substr(0, cut), stream.substr(cut)}), whole) << "cut at " << cut;
  std::vector<std::string> bytes;
  for (char b : stream) bytes.emplace_back(1, b);
  EXPECT_EQ(Assemble(c.model, c.link, bytes), whole);
}

INSTANTIATE_TEST_SUITE_P(
    Models, FrameStream,
    ::testing::Values(StreamCase{2, LinkKind::Serial, "", "\0"s}, StreamCase{3, LinkKind::Serial, "\n", ""},
                      StreamCase{3, LinkKind::Serial, "", "\0"s}, StreamCase{4, LinkKind::Serial, "", "\0"s},
                      StreamCase{5, LinkKind::Serial, "", ""}, StreamCase{6, LinkKind::Serial, "", ""},
                      StreamCase{7, LinkKind::Serial, "", ""}, StreamCase{8, LinkKind::Serial, "", ""},
                      StreamCase{9, LinkKind::Serial, "", ""}, StreamCase{10, LinkKind::Serial, "", ""},
                      StreamCase{11, LinkKind::Serial, "", ""}, StreamCase{102, LinkKind::Lan, "", "\0"s},
                      StreamCase{103, LinkKind::Lan, "", "\0"s}, StreamCase{104, LinkKind::Lan, "", "\0"s},
                      StreamCase{105, LinkKind::Lan, "", ""}, StreamCase{106, LinkKind::Lan, "", ""},
                      StreamCase{107, LinkKind::Lan, "", "\0"s}),
    [](const auto& info) {
      return "Model" + std::to_string(info.param.model) + (info.param.before.empty() ? "" : "WithNoise") +
             (info.param.after.empty() ? "" : "AndZero");
    });

}  // namespace
}  // namespace lindra
