// What a picture's bytes are, by their own signature rather than by what a tag declares.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ImageKind : std::uint8_t { none, jpeg, png, gif, webp, bmp, tiff };

// The kind of image that the bytes hold whole: a known signature at the start, and the format's own end
// or stated length met exactly, so that a picture cut off, text, a URL or a font is none.
ImageKind whole_image_kind(const unsigned char *bytes, std::size_t size);
