#include "serial/cdr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "foundation/exception.h"
#include "foundation/library.h"
#include "serial/byte_block.h"

namespace {

std::vector<unsigned char> bytes_of(const unsigned char* p, unsigned int n) {
  return std::vector<unsigned char>(p, p + n);
}

TEST(Cdr, WritesBigEndianAndRefusesOverflowWithoutMoving) {
  unsigned char buffer[8] = {};
  VGS_OutputCDR out(buffer, sizeof(buffer));
  EXPECT_EQ(out.write(static_cast<std::uint16_t>(0x1234)), 2);
  EXPECT_EQ(out.write(static_cast<std::uint32_t>(0x01020304)), 4);
  EXPECT_EQ(bytes_of(buffer, 6),
            (std::vector<unsigned char>{0x12, 0x34, 0x01, 0x02, 0x03, 0x04}));

  VGSLib::SetErrorCode(0);
  EXPECT_EQ(out.write(static_cast<std::uint32_t>(0xFFFFFFFF)), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_OUTPUT_OVERFLOW);
  EXPECT_EQ(out.offset(), 6);
  EXPECT_EQ(out.set_size(), 6u);
  EXPECT_EQ(buffer[6], 0);
  EXPECT_EQ(out.write(static_cast<std::uint16_t>(0xABCD)), 2);
  EXPECT_EQ(buffer[6], 0xAB);
  EXPECT_EQ(buffer[7], 0xCD);
  // Full: a zero-length write still succeeds.
  EXPECT_EQ(out.write(buffer, 0u), 0);
  EXPECT_EQ(out.write(static_cast<std::uint8_t>(1)), -1);
}

TEST(Cdr, EncodesEveryValueTypeExactly) {
  unsigned char buffer[27] = {};
  VGS_OutputCDR out(buffer, sizeof(buffer));
  out << static_cast<std::uint8_t>(0xA5) << static_cast<std::int16_t>(-2) << 1.0f
      << static_cast<std::uint64_t>(0x0102030405060708ull) << -2.5 << std::uint32_t{7};
  EXPECT_EQ(out.elements(), 6u);
  EXPECT_EQ(out.set_size(), 27u);
  EXPECT_EQ(bytes_of(buffer, 27),
            (std::vector<unsigned char>{0xA5, 0xFF, 0xFE, 0x3F, 0x80, 0x00, 0x00, 0x01, 0x02,
                                        0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xC0, 0x04, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07}));
}

TEST(Cdr, RoundTripsValuesThroughOperators) {
  unsigned char buffer[64];
  VGS_OutputCDR out(buffer, sizeof(buffer));
  const double d = -1234.5678e-9;
  const float f = std::numeric_limits<float>::denorm_min();
  out << 'x' << static_cast<unsigned short>(65535) << std::int32_t{-7}
      << std::numeric_limits<std::int64_t>::min() << f << d << "hi" << std::string("yo");

  VGS_InputCDR in(buffer, out.set_size());
  char c = 0;
  unsigned short us = 0;
  std::int32_t i = 0;
  std::int64_t l = 0;
  float rf = 0;
  double rd = 0;
  in >> c >> us >> i >> l >> rf >> rd;
  EXPECT_EQ(c, 'x');
  EXPECT_EQ(us, 65535);
  EXPECT_EQ(i, -7);
  EXPECT_EQ(l, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(rf, f);
  EXPECT_EQ(rd, d);
  std::string text;
  EXPECT_EQ(in.read_text(text, 4), 4);
  EXPECT_EQ(text, "hiyo");
  EXPECT_EQ(in.remaining(), 0u);
}

TEST(Cdr, MoveKeepsTheLargestPositionAsSetSize) {
  unsigned char buffer[8] = {};
  VGS_OutputCDR out(buffer, sizeof(buffer));
  out.write(buffer, 6u);
  EXPECT_EQ(out.move(0), 0);
  EXPECT_EQ(out.set_size(), 6u);
  out.write(static_cast<std::uint8_t>(9));
  EXPECT_EQ(out.set_size(), 6u);
  EXPECT_EQ(out.move(8), 8);
  EXPECT_EQ(out.set_size(), 8u);
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(out.move(9), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_OUTPUT_OVERFLOW);
  EXPECT_EQ(out.offset(), 8);
}

TEST(Cdr, SetValueWithoutBufferAndOperatorFailuresThrowTheCode) {
  VGS_OutputCDR none;
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(none.set_value(0, std::uint32_t{1}), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
  EXPECT_EQ(none.write(static_cast<std::uint8_t>(1)), -1);

  unsigned char buffer[3];
  VGS_OutputCDR out(buffer, sizeof(buffer));
  try {
    out << std::uint32_t{1};
    FAIL() << "no exception";
  } catch (const VGS_Exception& e) {
    EXPECT_EQ(e.GetErrorCode(), VGS_ERR_OUTPUT_OVERFLOW);
  }
  EXPECT_EQ(out.offset(), 0);
  EXPECT_EQ(out.elements(), 0u);
}

TEST(Cdr, ReadUnderflowLeavesThePosition) {
  const unsigned char data[5] = {1, 2, 3, 4, 5};
  VGS_InputCDR in(data, sizeof(data));
  std::uint16_t s = 0;
  EXPECT_EQ(in.read(s), 2);
  EXPECT_EQ(s, 0x0102);
  std::uint32_t l = 0xDEADBEEF;
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(in.read(l), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_INPUT_UNDERFLOW);
  EXPECT_EQ(l, 0xDEADBEEFu);
  EXPECT_EQ(in.offset(), 2);
  // The operators refuse the same read by throwing, also without moving.
  EXPECT_THROW(in >> l, VGS_Exception);
  EXPECT_EQ(in.offset(), 2);
  EXPECT_EQ(in.move(6), -1);
  EXPECT_EQ(in.move(5), 5);
}

TEST(Cdr, LookupChecksLengthsAndBounds) {
  const unsigned char data[6] = {0, 0, 0, 9, 0xAA, 0xBB};
  VGS_InputCDR in(data, sizeof(data));
  unsigned int element = 99;
  unsigned char type = VGS_CDR::TYPE_LONG;
  unsigned int length = 2;
  const void* where = nullptr;
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(in.lookup(element, type, length, where), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_ELEMENT_LENGTH);

  // A bit field of 9 bits needs 4 + 2 bytes.
  type = VGS_CDR::TYPE_BITFIELD;
  length = 6;
  EXPECT_EQ(in.lookup(element, type, length, where), 6);
  EXPECT_EQ(where, data);
  EXPECT_EQ(element, 0u);
  in.initlookup();
  length = 5;
  EXPECT_EQ(in.lookup(element, type, length, where), -1);

  // Text longer than what is left.
  type = VGS_CDR::TYPE_TEXT;
  length = 7;
  EXPECT_EQ(in.lookup(element, type, length, where), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_ELEMENT_LENGTH);
  EXPECT_EQ(in.offset(), 0);

  // Fixed-size values never read past the end either.
  EXPECT_EQ(in.move(3), 3);
  type = VGS_CDR::TYPE_DOUBLE;
  length = 8;
  EXPECT_EQ(in.lookup(element, type, length, where), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_INPUT_UNDERFLOW);
  EXPECT_EQ(in.offset(), 3);

  VGS_InputCDR empty;
  EXPECT_THROW(empty.lookup(element, type, length, where), VGS_Exception);
}

TEST(Cdr, ByteBlocksReadAsManyBytesAsTheBlockHolds) {
  const unsigned char data[4] = {'a', 'b', 'c', 'd'};
  VGS_InputCDR in(data, sizeof(data));
  VGS_Byte_Block none;
  in >> none;
  EXPECT_TRUE(none.is_null());
  EXPECT_EQ(in.offset(), 0);

  VGS_Byte_Block three(3, nullptr);
  VGS_Byte_Block alias = three;
  in >> three;
  EXPECT_EQ(in.offset(), 3);
  EXPECT_EQ(std::memcmp(three.c_ptr(0), "abc", 3), 0);
  // A fresh copy: another handle of the old bytes is not written through.
  EXPECT_EQ(static_cast<const char*>(alias.c_ptr(0))[0], 0);

  VGS_Byte_Block two(2, nullptr);
  EXPECT_THROW(in >> two, VGS_Exception);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_ELEMENT_LENGTH);
  EXPECT_EQ(in.offset(), 3);
}

TEST(Cdr, WideTextIsWrittenAsItsNarrowConversion) {
  // The test runs in the C locale, whose codeset the library takes as UTF-8.
  const char16_t* wide = u"a\uD55C";
  EXPECT_EQ(VGS_CDR::size_of(wide), 4u);
  EXPECT_EQ(VGS_CDR::size_of(std::u16string(wide)), 4u);
  unsigned char buffer[8] = {};
  VGS_OutputCDR out(buffer, sizeof(buffer));
  out << wide << std::u16string(u"z");
  EXPECT_EQ(bytes_of(buffer, out.set_size()),
            (std::vector<unsigned char>{'a', 0xED, 0x95, 0x9C, 'z'}));
  EXPECT_EQ(out.elements(), 2u);
  unsigned char tiny[3];
  VGS_OutputCDR small(tiny, sizeof(tiny));
  EXPECT_THROW(small << wide, VGS_Exception);
  EXPECT_EQ(small.offset(), 0);
}

}  // namespace
