#include "app/link_failure.h"

#include <gtest/gtest.h>

namespace lindra {
namespace {

// The error number sits where the system's failure texts put it, and only there.
TEST(LinkFailure, ErrorNumberIsTakenFromTheFailureTextsOnly) {
  const std::pair<std::string, std::optional<int>> cases[] = {
      {"[ERR] DEV02 LAN - connect 실패 ErrNo:111", 111},
      {"[ERR] RS232C - CreateFile 실패 ErrNo:2", 2},
      {"[ERR] recv 실패 : 104", 104},
      {"[ERR] recv 실패 : 0", 0},
      {"[ERR] connect 실패: 113", 113},
      {"[ERR] send 실패 : 101 -> T|0211112222|0233334444", 101},
      {"[ERR] DEV01 CTI - WorkerThread 생성 실패", std::nullopt},
      {"[ERR] 기존 연결 에러/종료됨. 연결 재시도(2회)", std::nullopt},
      {"[WARN] DEV01 Connected PBX : 127.0.0.1, 5100", std::nullopt},
      {"send 실패: 5", std::nullopt},
  };
  for (const auto& [line, error] : cases) EXPECT_EQ(FailureErrorNumber(line), error) << line;
}

TEST(LinkFailure, DetailNamesSlotModelWhereAndTheSystemsText) {
  SlotConfig serial;
  serial.modelCode = 5;
  serial.comPort = "COM2";
  serial.baudRate = 9600;
  EXPECT_EQ(LinkFailureDetail(1, serial, {{"COM2", "/dev/ttyUSB0"}}, 2),
            "DEV01 model 5 (LG LDK 시리즈 RS232C), COM2 = /dev/ttyUSB0, 9600 bit/s: No such file or directory");
  SlotConfig lan;
  lan.modelCode = 102;
  lan.lanIp = "127.0.0.9";
  lan.lanPort = 5100;
  EXPECT_EQ(LinkFailureDetail(2, lan, {}, 0),
            "DEV02 model 102 (삼성 DCS 828(816i) LAN), 127.0.0.9:5100: connection closed by the other end");
  SlotConfig cti;
  cti.modelCode = 250;
  cti.lanPort = 7000;
  EXPECT_EQ(LinkFailureDetail(3, cti, {}, 98), "DEV03 model 250, listening on port 7000: Address already in use");
}

}  // namespace
}  // namespace lindra
