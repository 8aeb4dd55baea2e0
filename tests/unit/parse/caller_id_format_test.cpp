#include <gtest/gtest.h>

#include "parse/parse_frame.h"
#include "parse_test_support.h"

namespace lindra {
namespace {

using namespace std::string_literals;

struct BoxCase {
  std::string frame;
  size_t length;  // the length the channel passes (bytes before the terminator)
  std::string trunk, extension, callerNumber, receivedTime;
};

void ExpectBoxEvents(uint32_t model, std::initializer_list<BoxCase> cases) {
  for (const auto& c : cases) {
    auto outcome = ParseFrame(c.frame, c.length, model, "", testing::kUtf8);
    ASSERT_TRUE(outcome.event) << model << " " << c.frame;
    EXPECT_EQ(*outcome.event, (CallEvent{"T", c.callerNumber, c.trunk, "", c.extension, {}, c.receivedTime}))
        << model << " [" << c.frame << "]";
    EXPECT_TRUE(outcome.log.empty());
  }
}

TEST(CallerIdFormats, McidNumberWidthFollowsLength) {
  const auto frame = "0101151234 0212345678"s;
  ExpectBoxEvents(7, {{frame, 21, "01", "", "0212345678", ""},
                      {frame, 14, "01", "", "021", ""},
                      {frame, 9, "01", "", "", ""},  // length - 10 < 0
                      {frame, 400, "01", "", "0212345678", ""},
                      {"7", 1, "7", "", "", ""}});
}

TEST(CallerIdFormats, SeeIdPcReport) {
  const auto call = "Call Report\r\nd\r\nTime:0115 1234\r\nNumber:0212345678\r\nGroup:3\r\nE"s;
  ExpectBoxEvents(
      8, {{call, call.size(), "3", "3", "0212345678", "0115 1234"},
          {"d\r\nReport\r\nD\r\nNumber: 0212345678\r\nGroup:12345678901234", 0, "12345678901", "1234567", " 0212345678",
           ""},
          {"Report\r\nD\r\nTime:01151234567890\r\nNumber:0212345678", 0, "", "", "0212345678", "01151234567"},
          // A zero byte ends the report text.
          {"Report\r\nD\r\nNumber:0212\0 345\r\nGroup:1\r\n"s, 0, "", "", "0212", ""}});
  for (std::string other : {"Report\r\nE\r\nNumber:0212345678\r\nGroup:3\r\n", "Report\r\nDX\r\nNumber:1\r\n",
                            "Number:0212345678\r\nGroup:3\r\n", "Report\r\n"}) {
    auto outcome = ParseFrame(other, other.size(), 8, "", testing::kUtf8);
    ASSERT_TRUE(outcome.event);
    EXPECT_EQ(*outcome.event, (CallEvent{"H", "", "", "", "", {}, ""})) << other;
  }
  // The leading blank kept in the number stops the area code from seeing a '0'.
  EXPECT_EQ(ParseFrame("Report\r\nD\r\nNumber: 0212\r\n", 0, 8, "031", testing::kUtf8).event->callerNumber, "031 0212");
}

TEST(CallerIdFormats, SeeId4PositionsFromTheC) {
  ExpectBoxEvents(9, {{"[3CT\x04"
                       "1234N\x09"
                       "212345678",
                       0, "3", "3", "0212345678", "1234"},
                      {"[3CT\x04"
                       "1234N\x0A"
                       "0212345678",
                       0, "3", "3", "0212345678", "1234"},
                      // One more byte before the number's length.
                      {"[2CT\x00Nx\x03"
                       "021"s,
                       0, "2", "2", "021", ""},
                      {"CT\x02"
                       "12N\x03"
                       "021",
                       0, "", "", "021", "12"},  // no line before the C
                      {"[4CT\x7F"
                       "12",
                       0, "4", "4", "", "12"},  // length byte past the frame
                      {"[4CT\x80"
                       "12N\x02"
                       "12",
                       0, "4", "4", "", ""},  // negative length
                      {"[1CT\x00N\x14"
                       "12345678901234567890"s,
                       0, "1", "1", "012345678901234", ""},
                      {"[1CT\x00N\x03"
                       "9"s,
                       0, "1", "1", "09", ""},
                      {"[12]", 0, "]", "]", "", ""}});  // no C: the line is the last byte
}

TEST(CallerIdFormats, CallStarRecords) {
  ExpectBoxEvents(10, {{"I301151234 0212345678 ", 0, "3", "3", "0212345678", ""},
                       {"5x 0212345678  99", 0, "5", "5", "0212345678", ""},
                       {"I2", 0, "2", "2", "", ""}});
}

TEST(CallerIdFormats, SpeedBurumiDecodesByLine) {
  ExpectBoxEvents(11, {{"\x50\x70\x72\x5F", 3, "2", "2", "02", ""},
                       {"\x10\x30\x31\x10\x32\x1F", 5, "1", "1", "012", ""},  // start codes are skipped
                       {"\xD0\xF0\xF1\xDF\xF2", 4, "4", "4", "01", ""},
                       {"\x90\xB0\xB1\xB2\xB3\xB4\xB5\xB6\xB7\xB8\xB9\xB0\xB1\xB2\xB3\xB4\xB5\xB6", 18, "3", "3",
                        "012345678901234", ""},
                       {"\x50\x71\x40\x72\x5F", 4, "2", "2", "1", ""},  // a zero code ends the number
                       {"\x10\x31\x00\x32\x1F"s, 4, "1", "1", "1", ""}});
  for (std::string rejected : {"\x20\x30\x1F"s, "\x11\x30\x1F"s, ""s}) {
    auto outcome = ParseFrame(rejected, rejected.size(), 11, "031", testing::kUtf8);
    EXPECT_FALSE(outcome.event);
    EXPECT_TRUE(outcome.log.empty());
    EXPECT_TRUE(outcome.statusLine.empty());
  }
}

TEST(CallerIdFormats, Cid1000NumberWidthFollowsLength) {
  const auto cid =
      "1\x02"
      "100212345678\x03"s;
  const auto cidA =
      "2\x02"
      "100212345678\r"s;
  ExpectBoxEvents(
      12,
      {{cid, cid.size(), "1", "", "0212345678", ""}, {cid, 4, "1", "", "", ""}, {cid, 255, "1", "", "0212345678", ""}});
  ExpectBoxEvents(13, {{cidA, cidA.size() - 1, "2", "", "0212345678", ""},
                       {cidA, 1, "2", "", "", ""},
                       {"\0\x02"
                        "10021\0"
                        "2345678\r"s,
                        17, "", "", "021", ""}});
}

// A box that garbles a report may put any byte into it; none reaches a field (a line
// feed in the number split the operator's notification and the telephone-log line).
// Octal escapes have three digits at most, so that a digit after them stays a digit.
TEST(CallerIdFormats, ControlBytesAreLeftOutOfEveryField) {
  struct Case {
    uint32_t model;
    BoxCase box;
  } cases[] = {
      {7, {"0\17701151234 02\00112345678", 22, "0", "", "0212345678", ""}},
      {8, {"Report\r\nD\r\nTime:01\00215\r\nNumber:02\03312\r\nGroup:\1773\r\n", 0, "3", "3", "0212", "0115"}},
      {9, {"[5CT\0041\00134N\0155\001\n0212345678", 0, "5", "5", "050212345678", "134"}},
      {9, {"[\nCT\000N\003021"s, 0, "", "", "021", ""}},
      {10, {"I\00101151234 02\17712345678", 0, "", "", "0212345678", ""}},
      {11, {"\x50\x70\x41\x72\x4A\x73\x5F", 6, "2", "2", "023", ""}},
      {12, {"\001\0021002\03312345678\003", 16, "", "", "0212345678", ""}},
  };
  for (const auto& c : cases) ExpectBoxEvents(c.model, {c.box});
}

TEST(CtiFormat, CommaSeparatedFields) {
  ExpectBoxEvents(202, {{"201,701,0212345678", 18, "701", "201", "0212345678", ""},
                        {"0212345678", 10, "", "", "0212345678", ""},
                        {"201,0212345678", 14, "", "201", "0212345678", ""},
                        {"201,701,01234567890123456789", 0, "701", "201", "012345678901234", ""},
                        {"201,701, 0212345678 \r\n", 0, "701", "201", "0212345678", ""},
                        {"123456789,123456789012345,1", 0, "12345678901", "1234567", "1", ""},
                        {"201,701,0212\0,999"s, 0, "701", "201", "0212", ""},
                        {"2\00101,7\17701,02\n12\033345678", 0, "701", "201", "0212345678", ""},
                        {"", 0, "", "", "", ""}});
}

TEST(FieldCuts, AreasKeepWholeCharactersOfTheCodePage) {
  // 김철수 is 9 bytes in UTF-8 and 6 in CP949; the caller area holds 15 bytes, the extension area 7.
  const std::string cp949 = "\xB1\xE8\xC3\xB6\xBC\xF6";
  struct Case {
    const char* page;
    std::string message;
    std::string extension, callerNumber;
  } cases[] = {
      {"UTF-8", "김철수,701,0312김철수김철수", "김철", "0312김철수"},
      {"UTF-8", "김철,701,031김철수김철수", "김철", "031김철수김"},  // exactly 15 bytes
      {"CP949", cp949 + "\xB1\xE8,701,0312" + cp949 + cp949, "김철수", "0312김철수김철"},
      {"CP949", "12,701,031" + cp949 + cp949, "12", "031김철수김철수"},
      // A lead byte whose partner lies beyond the area is left out.
      {"CP949", "123456\xB1\xE8,701,01234567890123\xB1\xE8", "123456", "01234567890123"},
      // Single-byte pages and plain digits are cut at the capacity, as always.
      {"ISO-8859-1", "\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9,701,0123456789012345678", "ééééééé", "012345678901234"},
      {"UTF-8", "12345678,701,0123456789012345678", "1234567", "012345678901234"},
  };
  for (const auto& c : cases) {
    auto outcome = ParseFrame(c.message, 0, 202, "", text::Encoding(c.page));
    ASSERT_TRUE(outcome.event);
    EXPECT_EQ(outcome.event->extension, c.extension) << c.page << " " << c.message;
    EXPECT_EQ(outcome.event->callerNumber, c.callerNumber) << c.page << " " << c.message;
  }
}

TEST(ParseDispatch, ModelWithoutFormatIsRejected) {
  for (uint32_t model : {0u, 1u, 14u, 100u, 101u, 108u, 201u, 203u, 4294967295u}) {
    auto outcome = ParseFrame("201,701,0212345678", 18, model, "", testing::kUtf8);
    EXPECT_FALSE(outcome.event);
    const auto text = "DEV에러 : " + std::to_string(static_cast<int32_t>(model));
    EXPECT_EQ(outcome.log, (std::vector<ParseLogEntry>{{ParseLogEntry::Kind::Error, text}}));
    EXPECT_EQ(outcome.statusLine, "[ERR] " + text);
  }
}

TEST(ParseDispatch, AreaCodeFinishing) {
  struct Case {
    std::string caller, area, result;
  } cases[] = {{"12345678", "031", "03112345678"}, {"0212345678", "031", "0212345678"}, {"", "031", "031"},
               {"5551234", "31", "315551234"},     {"12345678", "", "12345678"},        {"", "", ""}};
  for (const auto& c : cases) {
    auto outcome = ParseFrame(",," + c.caller, 0, 202, c.area, testing::kUtf8);
    EXPECT_EQ(outcome.event->callerNumber, c.result) << c.caller << " " << c.area;
  }
}

}  // namespace
}  // namespace lindra
