#include "app/link_failure.h"

#include <gtest/gtest.h>

namespace lindra {
namespace {

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
