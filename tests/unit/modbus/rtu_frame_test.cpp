#include "modbus/rtu_frame.h"

#include <array>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "support/crc16_reference.h"
#include "support/log_capture.h"
#include "sys/log.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using Builder = int (*)(std::uint8_t*, const MeterConfig&);

Bytes request_for(const MeterConfig& meter, Builder build = build_request) {
  std::array<std::uint8_t, RESPONSE_MAX> frame;
  frame.fill(0xEE);
  int length = build(frame.data(), meter);
  return Bytes(frame.begin(), frame.begin() + length);
}

TEST(RtuFrame, CrcOfEveryByteValueAndCheckVectors) {
  // From the initial 0xFFFF, byte value b looks up table entry 0xFF ^ b: the
  // 256 single bytes reach every entry once.
  for (unsigned value = 0; value < 256; ++value) {
    const std::uint8_t byte = static_cast<std::uint8_t>(value);
    EXPECT_EQ(modbus_crc16(&byte, 1), crc16_reference(&byte, 1)) << value;
  }
  const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
  EXPECT_EQ(modbus_crc16(digits, 9), 0x4B37);
  EXPECT_EQ(crc16_reference(digits, 9), 0x4B37);
  EXPECT_EQ(modbus_crc16(nullptr, 0), 0xFFFF);
}

TEST(RtuFrame, BuildsTheReadRequestsByteForByte) {
  struct Case {
    MeterConfig meter;
    Bytes expected;
    Builder build = build_request;
  } cases[] = {
      {{1, 0, 10, 0, 3}, {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}},
      // Function 1 asks for the coils, not the derived word count.
      {{1, 0, 2, 20, 1}, {0x01, 0x01, 0x00, 0x00, 0x00, 0x14, 0x3C, 0x05}},
      {{1, 0, 2, 0, 4}, {0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x71, 0xCB}},
      // A field tool reads discrete inputs as the daemon reads coils.
      {{1, 0, 2, 20, 2}, {0x01, 0x02, 0x00, 0x00, 0x00, 0x14, 0x78, 0x05}, build_tool_request},
      {{1, 0, 10, 0, 3}, {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}, build_tool_request},
  };
  for (const Case& c : cases) EXPECT_EQ(request_for(c.meter, c.build), c.expected);
}

TEST(RtuFrame, FieldsAreCutToTheirWidthInTheFrame) {
  Bytes frame = request_for({300, 0x12345, 0x10002, 0, 3});
  ASSERT_EQ(frame.size(), 8u);
  EXPECT_EQ(frame[0], 0x2C);
  EXPECT_EQ(frame[2], 0x23);
  EXPECT_EQ(frame[3], 0x45);
  EXPECT_EQ(frame[4], 0x00);
  EXPECT_EQ(frame[5], 0x02);
  EXPECT_EQ(modbus_crc16(frame.data(), 6), frame[6] + 256 * frame[7]);
}

TEST(RtuFrame, OtherFunctionsGiveNoRequestAndLeaveTheFrameAlone) {
  for (std::uint32_t func : {0u, 2u, 5u, 6u, 15u, 16u, 259u}) {
    std::array<std::uint8_t, 8> frame;
    frame.fill(0xEE);
    EXPECT_EQ(build_request(frame.data(), {1, 0, 10, 10, func}), 0) << func;
    for (std::uint8_t byte : frame) EXPECT_EQ(byte, 0xEE);
  }
}

TEST(RtuFrame, ResponsesAreJudgedByCrcAndExceptionBitOnly) {
  struct Case {
    Bytes frame;
    int accepted;
    const char* message;
  } cases[] = {
      {{0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B}, 1, nullptr},
      // Another slave, another function: the CRC is all that counts.
      {{0x07, 0x04, 0x02, 0x00, 0x2A, 0x00, 0x00}, 0, "receive bad crc from meter 3"},
      {{0x01, 0x83, 0x02, 0xC0, 0xF1}, 0, "receive modbus error message from meter 3 (error code 2)"},
      // The right CRC, high byte first.
      {{0x01, 0x03, 0x02, 0x00, 0x2A, 0x9B, 0x39}, 0, "receive bad crc from meter 3"},
      {{}, 0, "receive bad crc from meter 3"},
      {{0x01}, 0, "receive bad crc from meter 3"},
      // Two bytes pass only as 0xFF 0xFF, the CRC of nothing, and then carry
      // the exception bit; the code is not read past the received bytes.
      {{0xFF, 0xFF}, 0, "receive modbus error message from meter 3 (error code 0)"},
      {{0x12, 0x34}, 0, "receive bad crc from meter 3"},
  };
  Bytes other = {0x09, 0x10, 0x00, 0x00, 0x00, 0x01};
  other.resize(8);
  append_crc(other.data(), 6);
  EXPECT_EQ(check_response(other.data(), 0, 8), 1);
  for (const Case& c : cases) {
    LogCapture capture;
    // An exact-size heap copy lets the sanitizer catch any read past n.
    auto* copy = new std::uint8_t[c.frame.size() + 1];
    if (!c.frame.empty()) std::memcpy(copy, c.frame.data(), c.frame.size());
    EXPECT_EQ(check_response(copy, 2, static_cast<unsigned>(c.frame.size())), c.accepted);
    delete[] copy;
    if (c.message != nullptr) {
      ASSERT_EQ(capture.messages().size(), 1u);
      EXPECT_EQ(capture.messages()[0].text, c.message);
      EXPECT_EQ(capture.messages()[0].level, LOG_ERR);
    } else {
      EXPECT_TRUE(capture.messages().empty());
    }
  }
}

}  // namespace
