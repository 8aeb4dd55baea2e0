#include "app/config_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config/ini_encoding.h"
#include "notify/routing_tables.h"
#include "support/temp_dir.h"
#include "text/codec.h"

namespace lindra {
namespace {

using testing::TempDir;
using testing::WriteFile;

class ConfigCheck : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(text::SetCodePage("UTF-8")); }

  // "LINE: error|warning: TEXT" per finding of `file`, in order.
  std::vector<std::string> FindingsOf(const std::string& file) {
    std::vector<std::string> found;
    for (const ConfigFinding& f : CheckConfiguration(dir_.path()))
      if (f.file == dir_ / file)
        found.push_back(std::to_string(f.line) + (f.error ? ": error: " : ": warning: ") + f.text);
    return found;
  }

  TempDir dir_;
};

// What the server's reader skips or misreads, and values a slot in use cannot work
// with; the same lines whatever ends them and whatever the file's encoding, since
// the check walks the lines the server reads.
TEST_F(ConfigCheck, NamesEveryLineOfLindraIniTheServerWouldMisread) {
  const std::vector<std::string> lines = {"stray=1",  // 1
                                          "[DEVICE01]",     "DEV_NAME=102",
                                          "DEV_USE=Y",      "LAN_IP=",  // 2-5
                                          "LAN_PORT=99999", "LAN_PORT=5100",
                                          "COLOUR=red",  // 6-8
                                          "[DEVICE02]",     "DEV_USE=y",
                                          "DEV_NAME=55",  // 9-11
                                          "[DEVICE03",    // 12
                                          "[CLIENT]",       "PROG_PORT=7001 (operators)",
                                          "CENTERID=",  // 13-15
                                          "ENCRYPTION=Y",   "noequals",
                                          "[CLIENT]",       "AREACODE=02",  // 16-19
                                          "[EXTRA]",        "KEY=1",
                                          "; a comment",    "[LOG]",
                                          "LEVEL=verbose",  // 20-24
                                          "[DEVICE04]",     "DEV_NAME",
                                          "DEV_NAME=2"};  // 25-27
  const std::vector<std::string> expected = {
      "1: error: outside any section: ignored",
      "4: warning: slot 1 has no DEV_USE: it is in use whenever DEV_NAME is not 0",
      "5: error: LAN_IP is empty: the slot cannot start",
      "6: error: LAN_PORT=99999 is no port (1 to 65535)",
      "7: error: LAN_PORT again: only the first one is read",
      "8: warning: unknown key COLOUR: not read, and gone after the next rewrite",
      "10: warning: DEV_USE=y leaves the slot out of use: only an upper-case Y puts it in use",
      "11: error: DEV_NAME=55 names no device model (lindra2d --list-models lists them)",
      "12: error: section header without ']': ignored, so the keys below it stay in the section before",
      "14: warning: PROG_PORT=7001 (operators) is read as 7001",
      "15: warning: CENTERID or ENCRYPTION is empty: the server rewrites the whole file at start, with "
      "CENTERID=C00000 and without the keys it does not know",
      "17: error: no '=' in this line: ignored",
      "18: error: [CLIENT] again: only the first section of a name is read, this one is ignored",
      "20: warning: unknown section [EXTRA]: not read, and gone after the next rewrite",
      "24: warning: LEVEL=verbose is read as DEBUG",
      "26: error: no '=' in this line: DEV_NAME is read as empty",
      "27: error: DEV_NAME again: only the first one is read",
  };
  WriteFile(dir_ / "did.tbl", "701 0211110000\r\n");
  WriteFile(dir_ / "ip.tbl", "201 127.0.0.2\r\n");
  auto joined = [&lines](const std::string& end) {
    std::string text;
    for (const auto& line : lines) text += line + end;
    return text;
  };
  const std::pair<std::string, std::string> files[] = {
      {"CR LF", joined("\r\n")},
      {"LF", joined("\n")},
      {"CR", joined("\r")},
      {"UTF-16", EncodeIniText(joined("\r\n"), IniEncoding::Utf16Le)},
  };
  for (const auto& [name, bytes] : files) {
    WriteFile(dir_ / "lindra.ini", bytes);
    EXPECT_EQ(FindingsOf("lindra.ini"), expected) << name;
  }
}

// The loader skips a line without a space and drops characters outside a column's
// set without a word; a comment line becomes a row. A CTI slot without LAN_IP
// never starts.
TEST_F(ConfigCheck, NamesEveryTableLineTheLoaderWouldSkipOrChange) {
  WriteFile(dir_ / "lindra.ini",
            "[DEVICE01]\r\nDEV_NAME=202\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=5100\r\n"
            "[DEVICE02]\r\nDEV_USE=Y\r\nDEV_NAME=2\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\n"
            "[DEVICE03]\r\nDEV_USE=Y\r\nDEV_NAME=202\r\nLAN_PORT=5101\r\n"
            "[CLIENT]\r\nPROG_PORT=7001\r\nCENTERID=C1\r\nENCRYPTION=Y\r\n");
  WriteFile(dir_ / "did.tbl", "# trunk DID\r\n701\t0211110000\r\n\r\n701:708 02-1111-0000\r\n:709 0211110000\r\n");
  WriteFile(dir_ / "ip.tbl", "201   127.0.0.2\r\n2a01 10.0.0.x\r\n");
  WriteFile(dir_ / "ip2.tbl", "\r\n\r\n");
  EXPECT_EQ(FindingsOf("lindra.ini"), (std::vector<std::string>{"10: error: LAN_IP is empty: the slot cannot start"}))
      << "a CTI slot needs an address it does not use";
  EXPECT_EQ(FindingsOf("did.tbl"),
            (std::vector<std::string>{
                "1: error: tables have no comments: this line is read as a row with what digits it holds",
                "2: error: no space between the two columns (a tab is none): skipped",
                "4: error: '02-1111-0000' is read as '0211110000' (the second column keeps only digits)",
                "5: error: ':709' matches no trunk: a range needs its low end before ':'",
            }));
  EXPECT_EQ(FindingsOf("ip.tbl"),
            (std::vector<std::string>{
                "2: error: '2a01' is read as '201' (the first column keeps only digits)",
                "2: error: '10.0.0.x' is read as '10.0.0.' (the second column keeps only digits and '.')",
                "2: error: '10.0.0.' is no IPv4 address: this row's sender reaches nobody",
            }));
  EXPECT_EQ(FindingsOf("did2.tbl"),
            (std::vector<std::string>{
                "0: error: cannot be read (No such file or directory): every call of DEV02 is dropped"}));
  EXPECT_EQ(FindingsOf("ip2.tbl"), (std::vector<std::string>{"0: warning: no rows: DEV02 notifies by UDP broadcast"}));
}

// A file the server refuses unread is named with the reason.
TEST_F(ConfigCheck, FilesThatAreNoRegularFileOrTooLargeAreNamedAsUnreadable) {
  WriteFile(dir_ / "lindra.ini", "[DEVICE01]\r\nDEV_NAME=2\r\n[CLIENT]\r\nCENTERID=C1\r\nENCRYPTION=Y\r\n");
  ASSERT_EQ(::mkfifo((dir_ / "did.tbl").c_str(), 0600), 0);
  WriteFile(dir_ / "ip.tbl", "");
  std::filesystem::resize_file(dir_ / "ip.tbl", kRoutingTableMaxBytes + 1);
  EXPECT_EQ(
      FindingsOf("did.tbl"),
      (std::vector<std::string>{"0: error: cannot be read (not a regular file): every call of DEV01 is dropped"}));
  EXPECT_EQ(
      FindingsOf("ip.tbl"),
      (std::vector<std::string>{"0: warning: cannot be read (larger than 64 MiB): DEV01 notifies by UDP broadcast"}));
  std::filesystem::remove(dir_ / "lindra.ini");
  std::filesystem::create_symlink("/dev/zero", dir_ / "lindra.ini");
  EXPECT_EQ(FindingsOf("lindra.ini"), (std::vector<std::string>{"0: error: cannot be read: not a regular file"}));
}

TEST_F(ConfigCheck, ATidyConfigurationHasNoFindings) {
  WriteFile(
      dir_ / "lindra.ini",
      "[DEVICE01]\r\nDEV_NAME=2\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\n"
      "[DEVICE02]\r\nDEV_USE=N\r\nDEV_NAME=\r\n"
      "[CLIENT]\r\nAREACODE=\r\nPROG_PORT=7001\r\nCENTERID=C1\r\nENCRYPTION=Y\r\n[LOG]\r\nPATH=c:\\brenvo\\Logs\r\n");
  WriteFile(dir_ / "did.tbl", "701:708 0211110000\r\n709 0211110001\r\n");
  WriteFile(dir_ / "ip.tbl", "201 127.0.0.2\r\n201 127.0.0.3\r\n");
  EXPECT_TRUE(CheckConfiguration(dir_.path()).empty());
}

}  // namespace
}  // namespace lindra
