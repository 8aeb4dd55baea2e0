#include "config/lindra_ini.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "platform/file_read.h"
#include "support/temp_dir.h"

namespace lindra {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::optional<std::string> LoopbackHost() { return "127.0.0.5"; }
std::optional<std::string> NoHost() { return std::nullopt; }

const char kDefaultWithIp[] =
    "[DEVICE01]\r\nDEV_NAME=\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.5\r\nLAN_PORT=5100\r\n"
    "[DEVICE02]\r\nDEV_NAME=\r\nDEV_USE=N\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.5\r\nLAN_PORT="
    "5100\r\n"
    "[DEVICE03]\r\nDEV_NAME=\r\nDEV_USE=N\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.5\r\nLAN_PORT="
    "5100\r\n"
    "[DEVICE04]\r\nDEV_NAME=\r\nDEV_USE=N\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.5\r\nLAN_PORT="
    "5100\r\n"
    "\r\n[CLIENT]\r\nAREACODE=\r\nPROG_PORT=7001\r\nCENTERID=C00000\r\nENCRYPTION=Y\r\n"
    "\r\n[LOG]\r\nPATH=c:\\brenvo\\Logs\r\n";

const char kDefaultWithoutIp[] =
    "[DEVICE01]\r\nDEV_NAME=\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_PORT=5100\r\n"
    "[DEVICE02]\r\nDEV_NAME=\r\nDEV_USE=N\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_PORT=5100\r\n"
    "[DEVICE03]\r\nDEV_NAME=\r\nDEV_USE=N\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_PORT=5100\r\n"
    "[DEVICE04]\r\nDEV_NAME=\r\nDEV_USE=N\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_PORT=5100\r\n"
    "\r\n[CLIENT]\r\nAREACODE=\r\nPROG_PORT=7001\r\nCENTERID=C00000\r\nENCRYPTION=Y\r\n"
    "\r\n[LOG]\r\nPATH=c:\\brenvo\\Logs\r\n";

// A hand-edited file: lower-case names, a lower-case y, slot 1 with DEV_USE=N,
// letters for a speed, blanks around a port, keys the program does not know.
const char kHandWritten[] =
    "[device01]\n"
    "DEV_USE=N\nDEV_NAME=102\nCOM_PORT=COM2\nCOM_BAUDRATE=19200\nLAN_IP=127.0.0.9\nLAN_PORT=  5100  \n"
    "[DEVICE02]\nDEV_USE=y\nDEV_NAME=3\nCOM_PORT=COM3\nCOM_BAUDRATE=fast\n"
    "[DEVICE03]\nDEV_USE=Y\nDEV_NAME=202\nLAN_IP=localhost\nLAN_PORT=7777\n"
    "[Client]\nareacode=031\nPROG_PORT=8001\nCENTERID=C12345\nENCRYPTION=\nCOMMENT=mine\n"
    "[LOG]\nLEVEL=info\n";

TEST(LindraIniTest, ReadsSlotsWithTheirSharedClientValues) {
  const IniFile ini = IniFile::Parse(kHandWritten);
  SlotConfig s1 = ReadSlotConfig(ini, 1);
  EXPECT_EQ(s1, (SlotConfig{false, "031", 102, "COM2", 19200, "127.0.0.9", 5100, 8001}));
  EXPECT_TRUE(IsSlotEnabled(1, s1)) << "slot 1 is in use whenever it has a model";
  SlotConfig s2 = ReadSlotConfig(ini, 2);
  EXPECT_EQ(s2, (SlotConfig{false, "031", 3, "COM3", 0, "", 0, 8001})) << "only an upper-case Y means yes";
  SlotConfig s3 = ReadSlotConfig(ini, 3);
  EXPECT_EQ(s3, (SlotConfig{true, "031", 202, "", 0, "localhost", 7777, 8001}));
  EXPECT_EQ(ReadSlotConfig(ini, 4), (SlotConfig{false, "031", 0, "", 0, "", 0, 8001}));
  EXPECT_EQ(ReadCenterId(ini), "C12345");
  EXPECT_EQ(ReadEncryption(ini), "");
  EXPECT_EQ(ReadLogLevelText(ini), "info");
  EXPECT_EQ(ReadLogLevelText(IniFile::Parse("")), "DEBUG");
}

TEST(LindraIniTest, DefaultAndRewriteTextsAreExact) {
  EXPECT_EQ(DefaultConfigText("127.0.0.5"), kDefaultWithIp);
  EXPECT_EQ(DefaultConfigText(std::nullopt), kDefaultWithoutIp);

  std::array<SlotConfig, kSlotCount> slots{};
  slots[0] = {true, "02", 102, "COM1", 9600, "127.0.0.9", 5100, 7001};
  slots[1] = {true, "ignored", 3, "COM2", 19200, "", 0, 9999};
  slots[3] = {false, "", 4294967295u, "", -1, "h", -5, 0};
  EXPECT_EQ(FullRewriteText(slots, "C12345"),
            "[DEVICE01]\r\nDEV_NAME=102\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.9\r\nLAN_PORT=5100\r\n"
            "[DEVICE02]\r\nDEV_USE=Y\r\nDEV_NAME=3\r\nCOM_PORT=COM2\r\nCOM_BAUDRATE=19200\r\nLAN_IP=\r\nLAN_PORT=0\r\n"
            "[DEVICE03]\r\nDEV_USE=N\r\nDEV_NAME=0\r\nCOM_PORT=\r\nCOM_BAUDRATE=0\r\nLAN_IP=\r\nLAN_PORT=0\r\n"
            "[DEVICE04]\r\nDEV_USE=N\r\nDEV_NAME=-1\r\nCOM_PORT=\r\nCOM_BAUDRATE=-1\r\nLAN_IP=h\r\nLAN_PORT=-5\r\n"
            "\r\n[CLIENT]\r\nAREACODE=02\r\nPROG_PORT=7001\r\nCENTERID=C12345\r\nENCRYPTION=Y\r\n"
            "\r\n[LOG]\r\nPATH=c:\\brenvo\\Logs\r\n");
  // What the rewrite writes reads back as the same records (slot 1's DEV_USE aside).
  const IniFile back = IniFile::Parse(FullRewriteText(slots, "C12345"));
  slots[0].devUse = false;
  for (auto& s : slots) s.areaCode = "02", s.progPort = 7001;
  for (int n = 1; n <= kSlotCount; ++n) EXPECT_EQ(ReadSlotConfig(back, n), slots[n - 1]) << n;
}

TEST(LoadConfigurationTest, MissingFileIsCreatedWithTheDefaultsAndNotRewritten) {
  for (auto [lookup, expected] : {std::pair{&LoopbackHost, kDefaultWithIp}, std::pair{&NoHost, kDefaultWithoutIp}}) {
    TempDir dir;
    ConfigLoadResult r = LoadConfiguration(dir.path(), lookup);
    EXPECT_EQ(r.status, ConfigLoadStatus::Loaded);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.createdDefault);
    EXPECT_EQ(ReadFile(dir / "lindra.ini"), expected);
    EXPECT_EQ(r.centerId, "C00000");
    EXPECT_EQ(r.logLevelText, "DEBUG");
    EXPECT_EQ(r.slots[0], (SlotConfig{false, "", 0, "COM1", 9600, lookup() ? "127.0.0.5" : "", 5100, 7001}));
    for (int n = 1; n <= kSlotCount; ++n) EXPECT_FALSE(IsSlotEnabled(n, r.slots[n - 1])) << n;
  }
}

TEST(LoadConfigurationTest, EmptyEncryptionOrCenterIdRewritesTheWholeFile) {
  TempDir dir;
  WriteFile(dir / "lindra.ini", kHandWritten);
  ConfigLoadResult r = LoadConfiguration(dir.path(), &NoHost);
  EXPECT_EQ(r.status, ConfigLoadStatus::Rewritten);
  EXPECT_FALSE(r.createdDefault);
  EXPECT_EQ(r.centerId, "C00000") << "whatever CENTERID held before";
  EXPECT_EQ(r.logLevelText, "info") << "LEVEL is read before the rewrite drops it";
  EXPECT_EQ(r.slots[1].modelCode, 3u);
  const std::string file = ReadFile(dir / "lindra.ini");
  EXPECT_EQ(file, FullRewriteText(r.slots, "C00000"));
  EXPECT_EQ(file.find("LEVEL"), std::string::npos);
  EXPECT_EQ(file.find("COMMENT"), std::string::npos);
  EXPECT_EQ(ReadLogLevelText(dir.path()), "DEBUG");

  WriteFile(dir / "lindra.ini", "[CLIENT]\r\nENCRYPTION=Y\r\n");
  EXPECT_EQ(LoadConfiguration(dir.path(), &NoHost).status, ConfigLoadStatus::Rewritten);
}

TEST(LoadConfigurationTest, CompleteFileIsReadAndLeftUntouched) {
  TempDir dir;
  WriteFile(dir / "lindra.ini", std::string("[CLIENT]\nCENTERID=C777\nENCRYPTION=N\n") + kHandWritten);
  ConfigLoadResult r = LoadConfiguration(dir.path(), &NoHost);
  EXPECT_EQ(r.status, ConfigLoadStatus::Loaded);
  EXPECT_EQ(r.centerId, "C777");
  EXPECT_EQ(r.slots[0].areaCode, "") << "the first [CLIENT] section has no AREACODE";
  EXPECT_EQ(ReadFile(dir / "lindra.ini"), std::string("[CLIENT]\nCENTERID=C777\nENCRYPTION=N\n") + kHandWritten);
  EXPECT_EQ(ReadLogLevelText(dir.path()), "info");
}

TEST(LoadConfigurationTest, FileThatCannotBeCreatedStopsTheLoadSilently) {
  TempDir dir;
  ConfigLoadResult r = LoadConfiguration(dir / "no-such-folder", &NoHost);
  EXPECT_EQ(r.status, ConfigLoadStatus::CannotCreate);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.slots[0], SlotConfig{});
  EXPECT_EQ(r.centerId, "");

  // Something that exists but cannot be read is the operator's: it is not replaced,
  // and nothing waits on it or reads it whole.
  std::filesystem::create_directory(dir / "lindra.ini");
  EXPECT_EQ(LoadConfiguration(dir.path(), &NoHost).status, ConfigLoadStatus::CannotCreate);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "lindra.ini"));
}

TEST(LoadConfigurationTest, WhatIsNoRegularFileOrTooLargeIsNeitherReadNorReplaced) {
  TempDir fifo, zero, large;
  ASSERT_EQ(::mkfifo((fifo / "lindra.ini").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", zero / "lindra.ini");
  WriteFile(large / "lindra.ini", std::string(kHandWritten) + std::string(kConfigFileMaxBytes, ';'));
  for (const TempDir* dir : {&fifo, &zero, &large}) {
    const auto file = *dir / "lindra.ini";
    const auto type = std::filesystem::symlink_status(file).type();
    const ConfigLoadResult r = LoadConfiguration(dir->path(), &NoHost);
    EXPECT_EQ(r.status, ConfigLoadStatus::CannotCreate) << file;
    EXPECT_TRUE(dir == &large ? IsOverSizeCap(r.error) : IsNotRegularFile(r.error)) << r.error.message();
    EXPECT_FALSE(SaveConfiguration(dir->path(), r.slots, "C1"));
    EXPECT_EQ(ReadLogLevelText(dir->path()), "DEBUG");
    EXPECT_EQ(std::filesystem::symlink_status(file).type(), type);
  }
  EXPECT_EQ(std::filesystem::file_size(large / "lindra.ini"), sizeof kHandWritten - 1 + kConfigFileMaxBytes);
}

TEST(IniEncodingTest, Utf16IsReadAndWrittenInItsByteOrderWithItsMark) {
  // "A", a Korean syllable and a character beyond 16 bits (a surrogate pair).
  const std::string text = "A\xEA\xB0\x80\xF0\x9D\x84\x9E\r\n";
  const std::string le(
      "\xFF\xFE"
      "A\0"
      "\x00\xAC"
      "\x34\xD8\x1E\xDD"
      "\r\0\n\0",
      14);
  const std::string be(
      "\xFE\xFF"
      "\0A"
      "\xAC\x00"
      "\xD8\x34\xDD\x1E"
      "\0\r\0\n",
      14);
  EXPECT_EQ(EncodeIniText(text, IniEncoding::Utf16Le), le);
  EXPECT_EQ(EncodeIniText(text, IniEncoding::Utf16Be), be);
  for (const auto& [bytes, encoding] : {std::pair{le, IniEncoding::Utf16Le}, {be, IniEncoding::Utf16Be}}) {
    const DecodedIni decoded = DecodeIniBytes(bytes);
    EXPECT_EQ(decoded.text, text);
    EXPECT_EQ(decoded.encoding, encoding);
    EXPECT_TRUE(decoded.lossless);
    EXPECT_FALSE(DecodeIniBytes(bytes.substr(0, 13)).lossless) << "an odd byte count";
  }
  EXPECT_FALSE(DecodeIniBytes(std::string("\xFF\xFE\x00\xDC", 4)).lossless) << "a lone low surrogate";
  EXPECT_FALSE(DecodeIniBytes(std::string("\xFF\xFE\x00\xD8"
                                          "A\0",
                                          6))
                   .lossless)
      << "a high surrogate alone";
}

// A file saved as "Unicode" (either byte order) or UTF-8 with a mark is rewritten in
// the encoding it came in.
TEST(LoadConfigurationTest, FileWithAByteOrderMarkIsRewrittenInItsOwnEncoding) {
  const std::string korean = "\xEC\x84\x9C\xEC\x9A\xB8";  // "서울"
  for (IniEncoding encoding : {IniEncoding::Utf16Le, IniEncoding::Utf16Be, IniEncoding::Utf8}) {
    TempDir dir;
    std::string hand = kHandWritten;
    hand.replace(hand.find("areacode=031"), 12, "areacode=" + korean);
    WriteFile(dir / "lindra.ini", EncodeIniText(hand, encoding));
    ConfigLoadResult r = LoadConfiguration(dir.path(), &NoHost);
    EXPECT_EQ(r.status, ConfigLoadStatus::Rewritten);
    EXPECT_FALSE(r.undecodable);
    EXPECT_EQ(r.slots[0].modelCode, 102u);
    EXPECT_EQ(r.slots[0].areaCode, korean);
    EXPECT_EQ(r.logLevelText, "info");
    const std::string file = ReadFile(dir / "lindra.ini");
    EXPECT_EQ(file, FullRewriteText(r.slots, "C00000", encoding));
    EXPECT_EQ(DecodeIniBytes(file).text, DecodeIniBytes(FullRewriteText(r.slots, "C00000")).text);
    EXPECT_TRUE(SaveConfiguration(dir.path(), r.slots, "C9"));
    EXPECT_EQ(DecodeIniBytes(ReadFile(dir / "lindra.ini")).encoding, encoding) << "the dialog's save keeps it too";
  }
}

// Bytes that are no text of the file's encoding would be destroyed by a rewrite.
TEST(LoadConfigurationTest, FileThatCannotBeDecodedIsReadAsFarAsPossibleAndNeverReplaced) {
  const std::string wrongCodePage = std::string(kHandWritten) + "[DEVICE04]\nLAN_IP=\xBC\xAD\xBF\xEF\n";
  const std::string brokenUtf16 = EncodeIniText(kHandWritten, IniEncoding::Utf16Le) + std::string("\x00\xDC", 2);
  for (const std::string& bytes : {wrongCodePage, brokenUtf16}) {
    TempDir dir;
    WriteFile(dir / "lindra.ini", bytes);
    ConfigLoadResult r = LoadConfiguration(dir.path(), &NoHost);
    EXPECT_TRUE(r.undecodable);
    EXPECT_EQ(r.status, ConfigLoadStatus::Loaded);
    EXPECT_EQ(r.centerId, "C12345") << "no rewrite takes the centre identifier away";
    EXPECT_EQ(r.slots[2].lanPort, 7777);
    EXPECT_FALSE(SaveConfiguration(dir.path(), r.slots, "C12345"));
    EXPECT_EQ(ReadFile(dir / "lindra.ini"), bytes);
  }
  TempDir dir;
  WriteFile(dir / "lindra.ini", "[DEVICE01]\nDEV_NAME=\xFF\n");
  EXPECT_EQ(LoadConfiguration(dir.path(), &NoHost).centerId, kDefaultCenterId) << "none to keep: the default";
}

// Makes every write of more than a few bytes fail (EFBIG), even for root.
class FileSizeLimit {
 public:
  FileSizeLimit() {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved_;
    tiny.rlim_cur = 8;
    ::setrlimit(RLIMIT_FSIZE, &tiny);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_{};
  void (*oldHandler_)(int) = nullptr;
};

TEST(LoadConfigurationTest, RewriteThatCannotBeSavedKeepsTheOldFileAndSaysSo) {
  TempDir dir;
  WriteFile(dir / "lindra.ini", kHandWritten);
  ConfigLoadResult r;
  {
    FileSizeLimit limit;
    r = LoadConfiguration(dir.path(), &NoHost);
    EXPECT_FALSE(SaveConfiguration(dir.path(), r.slots, "C1"));
  }
  EXPECT_EQ(r.status, ConfigLoadStatus::RewriteFailed);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.slots[0].modelCode, 102u) << "the slots are read before the rewrite";
  EXPECT_EQ(r.centerId, "");
  EXPECT_EQ(ReadFile(dir / "lindra.ini"), kHandWritten) << "never a truncated file";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  EXPECT_EQ(kFileSaveFailedText, "파일 저장 실패");

  EXPECT_TRUE(SaveConfiguration(dir.path(), r.slots, "C1"));
  EXPECT_EQ(ReadFile(dir / "lindra.ini"), FullRewriteText(r.slots, "C1"));
}

}  // namespace
}  // namespace lindra
