#include "image_kind.h"

#include <cstring>

namespace {

bool starts_with(const unsigned char *bytes, std::size_t size, const char *prefix, std::size_t length)
{
    return size >= length && std::memcmp(bytes, prefix, length) == 0;
}

bool ends_with(const unsigned char *bytes, std::size_t size, const char *suffix, std::size_t length)
{
    return size >= length && std::memcmp(bytes + size - length, suffix, length) == 0;
}

std::uint32_t little_endian_32(const unsigned char *bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint32_t big_endian_32(const unsigned char *bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
}

// Some tag writers pad a JPEG after its end marker: a little padding of zeros is allowed.
bool jpeg_ends(const unsigned char *bytes, std::size_t size)
{
    for (std::size_t padding = 0; padding <= 64 && padding + 2 <= size; padding++) {
        if (ends_with(bytes, size - padding, "\xff\xd9", 2))
            return true;
        if (bytes[size - padding - 1] != 0)
            return false;
    }
    return false;
}

// A TIFF's first directory lies after its header and within its bytes.
bool tiff_directory_within(std::uint32_t offset, std::size_t size) { return offset >= 8 && offset < size; }

}  // namespace

ImageKind whole_image_kind(const unsigned char *bytes, std::size_t size)
{
    if (starts_with(bytes, size, "\xff\xd8\xff", 3) && size >= 5 && jpeg_ends(bytes + 3, size - 3))
        return ImageKind::jpeg;
    // A PNG ends with its IEND chunk: no data, then that name's fixed checksum.
    if (starts_with(bytes, size, "\x89PNG\r\n\x1a\n", 8) && size >= 8 + 12 &&
        ends_with(bytes, size, "\0\0\0\0IEND\xae\x42\x60\x82", 12))
        return ImageKind::png;
    if ((starts_with(bytes, size, "GIF87a", 6) || starts_with(bytes, size, "GIF89a", 6)) && size > 13 &&
        bytes[size - 1] == 0x3b)
        return ImageKind::gif;
    if (starts_with(bytes, size, "RIFF", 4) && size >= 16 && std::memcmp(bytes + 8, "WEBPVP8", 7) == 0 &&
        little_endian_32(bytes + 4) == size - 8)
        return ImageKind::webp;
    if (starts_with(bytes, size, "BM", 2) && size >= 26 && little_endian_32(bytes + 2) == size &&
        little_endian_32(bytes + 10) < size)
        return ImageKind::bmp;
    if (starts_with(bytes, size, "II*\0", 4) && size >= 8 && tiff_directory_within(little_endian_32(bytes + 4), size))
        return ImageKind::tiff;
    if (starts_with(bytes, size, "MM\0*", 4) && size >= 8 && tiff_directory_within(big_endian_32(bytes + 4), size))
        return ImageKind::tiff;
    return ImageKind::none;
}
