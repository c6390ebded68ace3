#include "reference-host/png_writer.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace refhost {
namespace {

std::uint32_t be32(const std::string& s, std::size_t at) {
  return (std::uint32_t(std::uint8_t(s[at])) << 24) |
         (std::uint32_t(std::uint8_t(s[at + 1])) << 16) |
         (std::uint32_t(std::uint8_t(s[at + 2])) << 8) | std::uint32_t(std::uint8_t(s[at + 3]));
}

// Bit by bit, independent of the encoder's table.
std::uint32_t slowCrc(const std::string& data) {
  std::uint32_t c = 0xFFFFFFFF;
  for (unsigned char b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0u - (c & 1)));
  }
  return ~c;
}

struct Decoded {
  std::vector<std::string> chunkTypes;
  std::uint32_t width = 0, height = 0;
  std::string raw;  // the inflated image data
};

// Walks the chunks (checking each CRC) and inflates the stored blocks of IDAT.
Decoded decode(const std::string& png) {
  Decoded d;
  std::string idat;
  for (std::size_t at = 8; at < png.size();) {
    std::uint32_t len = be32(png, at);
    std::string typed = png.substr(at + 4, 4 + len);
    EXPECT_EQ(be32(png, at + 8 + len), slowCrc(typed)) << typed.substr(0, 4);
    d.chunkTypes.push_back(typed.substr(0, 4));
    if (d.chunkTypes.back() == "IHDR") {
      d.width = be32(typed, 4);
      d.height = be32(typed, 8);
    }
    if (d.chunkTypes.back() == "IDAT") idat += typed.substr(4);
    at += 12 + len;
  }
  for (std::size_t at = 2; at + 4 < idat.size();) {
    bool last = idat[at] & 1;
    std::size_t len = std::uint8_t(idat[at + 1]) | (std::uint8_t(idat[at + 2]) << 8);
    std::size_t nlen = std::uint8_t(idat[at + 3]) | (std::uint8_t(idat[at + 4]) << 8);
    EXPECT_EQ(len ^ 0xFFFF, nlen);
    d.raw += idat.substr(at + 5, len);
    at += 5 + len;
    if (last) {
      EXPECT_EQ(at + 4, idat.size()) << "data after the final block";
      break;
    }
  }
  return d;
}

TEST(PngWriterTest, WritesValidChunksAroundTheRawPixels) {
  std::string png = encodePng(2, 2, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {250, 251, 252}});
  ASSERT_TRUE(looksLikePng(png));
  Decoded d = decode(png);
  EXPECT_EQ(d.chunkTypes, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  EXPECT_EQ(d.width, 2u);
  EXPECT_EQ(d.height, 2u);
  // Each row: filter byte 0, then the pixels.
  EXPECT_EQ(d.raw, std::string("\0\1\2\3\4\5\6\0\7\x8\x9\xFA\xFB\xFC", 14));
}

TEST(PngWriterTest, SplitsLargeImagesIntoSeveralStoredBlocks) {
  Decoded d = decode(gradientPng(300, 300, {0, 0, 0}, {255, 255, 255}));
  EXPECT_EQ(d.raw.size(), 300u * (1 + 3 * 300));
  EXPECT_EQ(d.raw.substr(1, 3), std::string(3, '\0'));                // top left: the first colour
  EXPECT_EQ(d.raw.substr(d.raw.size() - 3), std::string(3, '\xFF'));  // bottom right
}

TEST(PngWriterTest, RecognisesImagesByTheirFirstBytes) {
  EXPECT_TRUE(looksLikeImage(gradientPng(1, 1, {}, {})));
  EXPECT_TRUE(looksLikeImage("\xFF\xD8\xFF\xE0 jpeg"));
  EXPECT_TRUE(looksLikeImage("GIF89a..."));
  EXPECT_FALSE(looksLikePng("\xFF\xD8\xFF\xE0 jpeg"));
  EXPECT_FALSE(looksLikeImage("plain text"));
  EXPECT_FALSE(looksLikeImage(""));
}

}  // namespace
}  // namespace refhost
