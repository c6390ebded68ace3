#include "reference-host/png_writer.h"

#include <algorithm>
#include <array>

namespace refhost {
namespace {

constexpr std::string_view kPngSignature("\x89PNG\r\n\x1a\n", 8);

const std::array<std::uint32_t, 256>& crcTable() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

std::uint32_t crc32(std::string_view data) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char byte : data) c = crcTable()[(c ^ byte) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t adler32(std::string_view data) {
  std::uint32_t a = 1, b = 0;
  for (unsigned char byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

void putBigEndian32(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v >> 24));
  out.push_back(static_cast<char>(v >> 16));
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

void putChunk(std::string& out, std::string_view type, std::string_view data) {
  putBigEndian32(out, static_cast<std::uint32_t>(data.size()));
  std::string typed(type);
  typed.append(data);
  out.append(typed);
  putBigEndian32(out, crc32(typed));
}

// A zlib stream holding `raw` in stored deflate blocks.
std::string storedZlib(std::string_view raw) {
  std::string out;
  out.push_back(static_cast<char>(0x78));  // deflate, 32 KiB window
  out.push_back(static_cast<char>(0x01));  // no preset dictionary; header checksum fits
  std::size_t pos = 0;
  do {
    std::size_t len = std::min<std::size_t>(raw.size() - pos, 65535);
    bool last = pos + len == raw.size();
    out.push_back(static_cast<char>(last ? 1 : 0));
    out.push_back(static_cast<char>(len & 0xFF));
    out.push_back(static_cast<char>(len >> 8));
    out.push_back(static_cast<char>(~len & 0xFF));
    out.push_back(static_cast<char>((~len >> 8) & 0xFF));
    out.append(raw.substr(pos, len));
    pos += len;
  } while (pos < raw.size());
  putBigEndian32(out, adler32(raw));
  return out;
}

}  // namespace

std::string encodePng(std::uint32_t width, std::uint32_t height, const std::vector<Rgb>& pixels) {
  std::string raw;
  raw.reserve(static_cast<std::size_t>(height) * (1 + 3 * static_cast<std::size_t>(width)));
  for (std::uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);  // filter type None
    for (std::uint32_t x = 0; x < width; ++x) {
      std::size_t i = static_cast<std::size_t>(y) * width + x;
      Rgb p = i < pixels.size() ? pixels[i] : Rgb{};
      raw.push_back(static_cast<char>(p.r));
      raw.push_back(static_cast<char>(p.g));
      raw.push_back(static_cast<char>(p.b));
    }
  }

  std::string header;
  putBigEndian32(header, width);
  putBigEndian32(header, height);
  header.push_back(8);  // bits per sample
  header.push_back(2);  // colour type: truecolour
  header.push_back(0);  // compression: deflate
  header.push_back(0);  // filter method 0
  header.push_back(0);  // no interlacing

  std::string out(kPngSignature);
  putChunk(out, "IHDR", header);
  putChunk(out, "IDAT", storedZlib(raw));
  putChunk(out, "IEND", {});
  return out;
}

std::string gradientPng(std::uint32_t width, std::uint32_t height, Rgb from, Rgb to) {
  std::vector<Rgb> pixels;
  pixels.reserve(static_cast<std::size_t>(width) * height);
  const std::uint32_t span = std::max<std::uint32_t>(1, width + height - 2);
  auto mix = [span](std::uint8_t a, std::uint8_t b, std::uint32_t t) {
    return static_cast<std::uint8_t>((a * (span - t) + b * t) / span);
  };
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint32_t t = std::min(span, x + y);
      pixels.push_back({mix(from.r, to.r, t), mix(from.g, to.g, t), mix(from.b, to.b, t)});
    }
  }
  return encodePng(width, height, pixels);
}

bool looksLikePng(std::string_view bytes) { return bytes.substr(0, 8) == kPngSignature; }

bool looksLikeImage(std::string_view bytes) {
  auto startsWith = [&](std::string_view magic) { return bytes.substr(0, magic.size()) == magic; };
  return looksLikePng(bytes) || startsWith("\xFF\xD8\xFF") || startsWith("GIF87a") ||
         startsWith("GIF89a") ||
         (startsWith("RIFF") && bytes.size() >= 12 && bytes.substr(8, 4) == "WEBP") ||
         startsWith(std::string_view("II*\0", 4)) || startsWith(std::string_view("MM\0*", 4));
}

}  // namespace refhost
