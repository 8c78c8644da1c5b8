// SPDX-License-Identifier: ISC
#include "framework/IByteChunk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framework/Base64.h"

using plug::IByteChunk;

namespace {

std::vector<std::uint8_t> bytesOf(const IByteChunk& chunk)
{
  return {chunk.GetData(), chunk.GetData() + chunk.Size()};
}

} // namespace

TEST(IByteChunk, PutAppendsRawLittleEndianBytes)
{
  IByteChunk chunk;
  const std::int32_t word = 0x11223344;
  const double one = 1.0; // 0x3FF0000000000000
  const std::uint8_t flag = 1;

  EXPECT_EQ(chunk.Put(&word), 4);
  EXPECT_EQ(chunk.Put(&one), 12);
  EXPECT_EQ(chunk.Put(&flag), 13);

  const std::vector<std::uint8_t> expected = {0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 1};
  EXPECT_EQ(bytesOf(chunk), expected);
}

TEST(IByteChunk, GetReturnsNextPositionOrMinusOneAndLeavesValueWhenShort)
{
  IByteChunk chunk;
  const double values[2] = {-2.5, 1e300};
  chunk.Put(&values[0]);
  chunk.Put(&values[1]);

  double read = 0.0;
  EXPECT_EQ(chunk.Get(&read, 0), 8);
  EXPECT_EQ(read, -2.5);
  EXPECT_EQ(chunk.Get(&read, 8), 16);
  EXPECT_EQ(read, 1e300);

  struct Case {
    const char* name;
    int startPos;
  };
  const Case cases[] = {
    {"one byte short", 9}, {"at the end", 16}, {"past the end", 17}, {"negative", -1}, {"far beyond", 1 << 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double untouched = 42.0;
    EXPECT_EQ(chunk.Get(&untouched, c.startPos), -1);
    EXPECT_EQ(untouched, 42.0);
  }
}

TEST(IByteChunk, StringIsLengthThenBytesWithoutTerminator)
{
  IByteChunk chunk;
  EXPECT_EQ(chunk.PutStr("Slap"), 8);
  EXPECT_EQ(chunk.PutStr(""), 12);
  const std::vector<std::uint8_t> expected = {4, 0, 0, 0, 'S', 'l', 'a', 'p', 0, 0, 0, 0};
  EXPECT_EQ(bytesOf(chunk), expected);

  char text[16] = "xxxxxxxxxxxxxxx";
  EXPECT_EQ(chunk.GetStr(text, sizeof(text), 0), 8);
  EXPECT_STREQ(text, "Slap");
  EXPECT_EQ(chunk.GetStr(text, sizeof(text), 8), 12);
  EXPECT_STREQ(text, "");
}

TEST(IByteChunk, StringReadingCopesWithBadInput)
{
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    int capacity;
    int expectedPos;
    const char* expectedText;
  };
  const Case cases[] = {
    {"length past the end", {9, 0, 0, 0, 'a', 'b'}, 16, -1, ""},
    {"negative length", {0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 16, -1, ""},
    {"length field cut", {3, 0}, 16, -1, ""},
    {"embedded NUL ends the text", {4, 0, 0, 0, 'a', 0, 'b', 'c'}, 16, 8, "a"},
    {"longer than the buffer", {5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'}, 4, 9, "hel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IByteChunk chunk;
    chunk.PutBytes(c.bytes.data(), static_cast<int>(c.bytes.size()));
    char text[16] = "previous";
    EXPECT_EQ(chunk.GetStr(text, c.capacity, 0), c.expectedPos);
    EXPECT_STREQ(text, c.expectedText);
  }
}

TEST(IByteChunk, GrowsBeyondOneStepAndResizesWithZeros)
{
  IByteChunk chunk;
  std::vector<std::uint8_t> big(3 * IByteChunk::kGrowthStep + 5);
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_EQ(chunk.PutBytes(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  EXPECT_EQ(bytesOf(chunk), big);

  EXPECT_EQ(chunk.Resize(4), 4);
  EXPECT_EQ(chunk.Resize(8), 8);
  const std::vector<std::uint8_t> expected = {0, 7, 14, 21, 0, 0, 0, 0};
  EXPECT_EQ(bytesOf(chunk), expected);

  EXPECT_EQ(chunk.PutBytes(big.data(), -1), 0); // a negative size is refused
  EXPECT_EQ(chunk.Size(), 8);

  chunk.Clear();
  EXPECT_EQ(chunk.Size(), 0);
}

// The text form of preset blobs: RFC 4648 test vectors.
TEST(Base64, EncodesAndDecodesTheStandardVectors)
{
  struct Case {
    std::string bytes;
    const char* text;
  };
  const Case cases[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {std::string("\x00\xFF\x80\x01", 4), "AP+AAQ=="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto* data = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
    EXPECT_EQ(plug::Base64Encode(data, static_cast<int>(c.bytes.size())), c.text);
    const std::vector<std::uint8_t> expected(data, data + c.bytes.size());
    EXPECT_EQ(plug::Base64Decode(c.text), expected);
  }
}

TEST(Base64, DecodingSkipsWhitespaceAndStopsAtForeignCharacters)
{
  const std::vector<std::uint8_t> foobar = {'f', 'o', 'o', 'b', 'a', 'r'};
  EXPECT_EQ(plug::Base64Decode("Zm9v\n YmFy\r\n"), foobar);
  const std::vector<std::uint8_t> foo = {'f', 'o', 'o'};
  EXPECT_EQ(plug::Base64Decode("Zm9v*YmFy"), foo);
  EXPECT_TRUE(plug::Base64Decode(nullptr).empty());
}
