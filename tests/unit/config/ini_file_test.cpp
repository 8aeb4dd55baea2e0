#include "config/ini_file.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace lindra {
namespace {

TEST(IniFileTest, FollowsThePrivateProfileRules) {
  const IniFile ini = IniFile::Parse(
      "KEY=before any section\r\n"
      "[Device01]\r\n"
      "  dev_name =  12 \r\n"
      "COM_PORT=COM2\r\n"
      "COM_PORT=COM3\r\n"  // the first key of a name wins
      "LAN_IP=\r\n"
      "FORMULA=a=b = c\r\n"
      "BARE\r\n"
      "\tpadded\t=\tvalue with  inner  blanks\t\r\n"
      "[CLIENT] trailing\r"  // a lone CR ends a line too
      "AREACODE=02\n"
      "[device01]\r\n"  // a second section of the same name is never searched
      "EXTRA=x\r\n");
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"DEVICE01", "DEV_NAME", "12"},
      {"device01", "Com_Port", "COM2"},
      {"DEVICE01", "LAN_IP", ""},
      {"DEVICE01", "FORMULA", "a=b = c"},
      {"DEVICE01", "BARE", ""},
      {"DEVICE01", "PADDED", "value with  inner  blanks"},
      {"DEVICE01", "EXTRA", std::nullopt},
      {"DEVICE01", "KEY", std::nullopt},
      {"CLIENT", "AREACODE", "02"},
      {"DEVICE02", "DEV_NAME", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ini.Find(c.section, c.key), c.value) << c.section << "/" << c.key;
}

// Whatever ends the lines, they are the same lines with the same numbers: the
// checker points at the line an editor shows.
TEST(IniFileTest, LinesAreNumberedAsAnEditorNumbersThem) {
  const std::string lines[] = {"[DEVICE01]", "", " DEV_NAME = 2 ", "[CLIENT", "BARE", "[CLIENT] x", "A=b=c"};
  using Kind = IniLine::Kind;
  const struct {
    Kind kind;
    const char* name;
    const char* value;
    int section;
  } expected[] = {{Kind::Section, "DEVICE01", "", 0},  {Kind::Blank, "", "", -1},    {Kind::Entry, "DEV_NAME", "2", 0},
                  {Kind::UnclosedSection, "", "", -1}, {Kind::Entry, "BARE", "", 0}, {Kind::Section, "CLIENT", "", 1},
                  {Kind::Entry, "A", "b=c", 1}};
  for (const std::string end : {"\n", "\r\n", "\r"}) {
    std::string text;
    for (const auto& line : lines) text += line + end;
    const std::vector<IniLine> read = IniFile::Lines(text);
    ASSERT_EQ(read.size(), std::size(expected)) << "line end " << static_cast<int>(end.back());
    for (size_t i = 0; i < read.size(); ++i) {
      EXPECT_EQ(read[i].number, static_cast<int>(i + 1));
      EXPECT_EQ(read[i].kind, expected[i].kind) << i;
      EXPECT_EQ(read[i].name, expected[i].name) << i;
      EXPECT_EQ(read[i].value, expected[i].value) << i;
      EXPECT_EQ(read[i].section, expected[i].section) << i;
    }
  }
  EXPECT_EQ(IniFile::Lines("a\r\n\n\rb").back().number, 4) << "CR LF is one line end, LF CR two";
}

TEST(IniFileTest, DefaultsIntegersAndBufferLength) {
  const IniFile ini = IniFile::Parse(
      "\xEF\xBB\xBF[LOG]\nLEVEL=info\n"
      "[DEVICE01]\nCOM_BAUDRATE=abc\nLAN_PORT= 5100 \nDEV_NAME=-3x\nLONG=" +
      std::string(600, 'v') + "\n");
  EXPECT_EQ(ini.GetString("LOG", "LEVEL", "DEBUG"), "info") << "a byte-order mark is not part of the name";
  EXPECT_EQ(ini.GetString("LOG", "PATH", "DEBUG"), "DEBUG");
  EXPECT_EQ(ini.GetInt("DEVICE01", "COM_BAUDRATE", 7), 0);
  EXPECT_EQ(ini.GetInt("DEVICE01", "LAN_PORT", 0), 5100);
  EXPECT_EQ(ini.GetInt("DEVICE01", "DEV_NAME", 0), -3);
  EXPECT_EQ(ini.GetInt("DEVICE01", "MISSING", 7), 7);
  EXPECT_EQ(ini.GetString("DEVICE01", "LONG", ""), std::string(509, 'v'));
  EXPECT_EQ(ini.GetString("DEVICE01", "LONG", "", 260), std::string(259, 'v'));
}

TEST(IniFileTest, ArbitraryBytesNeverBreakTheReader) {
  std::mt19937 random(20240601);
  const std::string alphabet = std::string("[]=\r\n \tDEVICE01LOG") + '\0' + "\xFF\xEA\xB0\x80";
  for (int round = 0; round < 50; ++round) {
    std::string bytes(4096, ' ');
    for (auto& b : bytes) b = random() % 3 == 0 ? static_cast<char>(random()) : alphabet[random() % alphabet.size()];
    const IniFile ini = IniFile::Parse(bytes);
    auto value = ini.GetString("DEVICE01", "LOG", "fallback");
    EXPECT_LE(value.size(), 509u * 4);
  }
  EXPECT_EQ(IniFile::Parse("").Find("A", "B"), std::nullopt);
  EXPECT_EQ(IniFile::Parse("[").Find("", ""), std::nullopt);
  EXPECT_EQ(IniFile::Parse("[]\n=x").Find("", ""), "x");
}

}  // namespace
}  // namespace lindra
