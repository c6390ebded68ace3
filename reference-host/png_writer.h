// A minimal PNG encoder for the sample store and for thumbnails: 8-bit RGB,
// no interlacing, the image data in stored (uncompressed) deflate blocks. The
// result is a valid PNG that every decoder reads; it is only not small.
#ifndef PELLORA_REFHOST_PNG_WRITER_H_
#define PELLORA_REFHOST_PNG_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace refhost {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

// The PNG file bytes of a `width` x `height` image; `pixels` holds the rows top
// to bottom, left to right (width * height values; missing ones are black).
[[nodiscard]] std::string encodePng(std::uint32_t width, std::uint32_t height,
                                    const std::vector<Rgb>& pixels);

// A small picture for samples and thumbnails: a diagonal gradient from `from`
// to `to`.
[[nodiscard]] std::string gradientPng(std::uint32_t width, std::uint32_t height, Rgb from, Rgb to);

// True when `bytes` starts with the PNG signature.
[[nodiscard]] bool looksLikePng(std::string_view bytes);

// True when `bytes` starts with the signature of a common image format (PNG,
// JPEG, GIF, WebP, TIFF).
[[nodiscard]] bool looksLikeImage(std::string_view bytes);

}  // namespace refhost

#endif  // PELLORA_REFHOST_PNG_WRITER_H_
