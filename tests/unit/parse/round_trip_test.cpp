// Every model's frames, as the frame builder sends them and the framing cuts them,
// parse back into the call that was sent.
#include <gtest/gtest.h>

#include "frames/frame_builder.h"
#include "parse/parse_frame.h"
#include "parse_test_support.h"

namespace lindra {
namespace {

using sim::CallSpec;

enum class Fills { Exchange, LineOnly, LineAsBoth, Cti };

Fills FillsOf(uint32_t model) {
  if (model <= 6 || model >= 102) return model == 202 ? Fills::Cti : Fills::Exchange;
  return model == 7 || model == 12 || model == 13 ? Fills::LineOnly : Fills::LineAsBoth;
}

// What each family carries of a call (Samsung and LG per kind).
CallEvent Expected(uint32_t model, const CallSpec& call) {
  CallEvent e{std::string(1, call.kind), call.callerNumber, call.trunk, "", call.extension, {}, ""};
  const bool lg = model == 5 || model == 6 || model == 105;
  switch (FillsOf(model)) {
    case Fills::Exchange:
      if (lg) {
        if (call.kind == 'R') e.extension.clear();
        if (call.kind == 'H') e.receivedTime = call.time.substr(0, 5);
      } else {
        e.receivedTime = call.time;
        const bool pri = model == 4 || model == 104 || model == 106 || model == 107;
        if (pri) e.didNumber = call.didNumber;
      }
      return e;
    case Fills::LineOnly:
      e.extension.clear();
      return e;
    case Fills::LineAsBoth:
      e.extension = e.trunk;
      if (model == 8 || model == 9) e.receivedTime = call.time;
      if (call.kind == 'H') e = CallEvent{"H", "", "", "", "", {}, ""};
      return e;
    case Fills::Cti:
      return e;
  }
  return e;
}

CallSpec SpecFor(uint32_t model, char kind, std::string extension) {
  switch (FillsOf(model)) {
    case Fills::Exchange:
      // The Digital Keyphone prints three-digit trunks.
      return {kind,
              model == 6 ? "701" : "7012",
              extension,
              "0212345678",
              model == 5 || model == 6 || model == 105 ? "09:41" : "09:41:07",
              "55"};
    case Fills::LineOnly:
      return {kind, model == 7 ? "02" : "2", "", "0312345678", "", ""};
    case Fills::LineAsBoth:
      return {kind, "3", "", "0312345678", "0115 0941", ""};
    case Fills::Cti:
      return {kind, "701", extension, "01012345678", "", ""};
  }
  return {};
}

ParseOutcome SendAndParse(uint32_t model, const std::string& bytes, std::string_view areaCode) {
  auto frames = testing::FramesOf(model, bytes);
  EXPECT_EQ(frames.size(), 1u) << model;
  if (frames.empty()) return {};
  return ParseFrame(frames[0].bytes, frames[0].length, model, areaCode, testing::kUtf8);
}

TEST(RoundTrip, EveryModelAndKind) {
  for (uint32_t model : sim::FrameModelCodes()) {
    for (char kind : sim::SupportedKinds(model)) {
      for (std::string extension : {"201", "2011"}) {
        const auto call = SpecFor(model, kind, extension);
        const auto bytes = sim::BuildFrame(model, call);
        ASSERT_FALSE(bytes.empty()) << model << kind;
        auto outcome = SendAndParse(model, bytes, "");
        ASSERT_TRUE(outcome.event) << model << kind;
        EXPECT_EQ(*outcome.event, Expected(model, call)) << model << " " << kind << " " << extension;
      }
    }
  }
}

TEST(RoundTrip, LgOlderLayout) {
  for (uint32_t model : {5u, 6u, 105u}) {
    const CallSpec call{'T', "701", "201", "0212345678", "", ""};
    auto outcome = SendAndParse(model, sim::BuildLgOlderAnswered(call), "");
    ASSERT_TRUE(outcome.event);
    EXPECT_EQ(*outcome.event, Expected(model, call));
    EXPECT_EQ(outcome.log.front().text, "LDK50 OLD");
  }
}

TEST(RoundTrip, RedirectAndAreaCode) {
  auto outcome = SendAndParse(106, sim::BuildFrame(106, {'T', "701", "201", "12345678", "09:41:07", "123"}), "031");
  ASSERT_TRUE(outcome.event);
  EXPECT_EQ(outcome.event->trunk, "123");
  EXPECT_EQ(outcome.event->callerNumber, "03112345678");
  EXPECT_EQ(outcome.log.front().text, " Redirect [ 701] -> [123]");
}

TEST(FrameBuilder, DeviceBytes) {
  EXPECT_EQ(sim::BuildFrame(11, {'T', "2", "", "02", "", ""}), "\x50\x70\x72\x5F");
  EXPECT_EQ(sim::BuildFrame(202, {'T', "701", "201", "0212345678", "", ""}), "201,701,0212345678");
  EXPECT_EQ(sim::BuildFrame(12, {'T', "1", "", "021", "", ""}),
            "1\x02"
            "03021\x03");
  const auto samsung = sim::BuildFrame(2, {'H', "7012", "201", "0212345678", "09:41:07", ""});
  EXPECT_EQ(samsung.substr(40, 6), "   I  ");
  EXPECT_TRUE(samsung.ends_with("0212345678  \r"));
  EXPECT_TRUE(sim::BuildFrame(5, {'R', "7012", "", "0212345678", "", ""}).ends_with("\r\n"));
}

TEST(FrameBuilder, SendsNothingTheDeviceCannot) {
  EXPECT_EQ(sim::BuildFrame(14, {}), "");
  EXPECT_EQ(sim::BuildFrame(5, {'N', "7012", "201", "0212345678", "", ""}), "");
  EXPECT_EQ(sim::BuildFrame(10, {'H', "1", "", "0212345678", "", ""}), "");
  EXPECT_EQ(sim::BuildFrame(11, {'T', "5", "", "0212345678", "", ""}), "");
  EXPECT_EQ(sim::BuildFrame(12, {'T', "", "", "0212345678", "", ""}), "");
  EXPECT_EQ(sim::SupportedKinds(108), "");
}

}  // namespace
}  // namespace lindra
