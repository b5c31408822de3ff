// What a picture's bytes are by their signature, and whether they are whole.
#include "unit.h"

#include "image_kind.h"

#include <string>

UNIT_TEST(whole_images_by_their_bytes)
{
    const std::string png_end("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string("\0\0\0\rIHDR", 8) + png_end;
    const std::string gif_screen("\x28\0\x28\0\xf7\0\0 pixels", 14);
    struct Row {
        std::string bytes;
        ImageKind kind;
        const char *what;
    };
    const Row rows[] = {
        {"\xff\xd8\xff\xe0 body \xff\xd9", ImageKind::jpeg, "a JPEG"},
        {std::string("\xff\xd8\xff\xe0 body \xff\xd9\0\0\0", 16), ImageKind::jpeg, "a JPEG padded with zeros"},
        {"\xff\xd8\xff\xe0 body cut o", ImageKind::none, "a JPEG cut off"},
        {std::string("\xff\xd8\xff\xe0 body", 9) + std::string(100, '\0'), ImageKind::none, "a JPEG cut off, then zeros"},
        {"\xff\xd8\xff\xd9", ImageKind::none, "a JPEG's markers and nothing between"},
        {png, ImageKind::png, "a PNG"},
        {png.substr(0, png.size() - 1), ImageKind::none, "a PNG short of its last byte"},
        {std::string("\x89PNG\r\n\x1a\n", 8) + "\0\0\0\rIHDR", ImageKind::none, "a PNG without its end"},
        {"GIF89a" + gif_screen + ";", ImageKind::gif, "a GIF"},
        {"GIF87a" + gif_screen + ";", ImageKind::gif, "an old GIF"},
        {"GIF89a" + gif_screen, ImageKind::none, "a GIF without its trailer"},
        {std::string("RIFF\x0c\0\0\0WEBPVP8 ", 16) + std::string(4, '\0'), ImageKind::webp, "a WebP"},
        {std::string("RIFF\x0d\0\0\0WEBPVP8 ", 16) + std::string(4, '\0'), ImageKind::none, "a WebP longer than its bytes"},
        {std::string("RIFF\x0c\0\0\0WAVEfmt ", 16) + std::string(4, '\0'), ImageKind::none, "a RIFF that is no WebP"},
        {std::string("BM\x1e\0\0\0\0\0\0\0\x1a\0\0\0", 14) + std::string(16, 'p'), ImageKind::bmp, "a BMP"},
        {std::string("BM\x1f\0\0\0\0\0\0\0\x1a\0\0\0", 14) + std::string(16, 'p'), ImageKind::none, "a BMP cut off"},
        {std::string("II*\0\x08\0\0\0", 8) + "directory", ImageKind::tiff, "a little-endian TIFF"},
        {std::string("MM\0*\0\0\0\x08", 8) + "directory", ImageKind::tiff, "a big-endian TIFF"},
        {std::string("MM\0*\0\0\x10\0", 8) + "directory", ImageKind::none, "a TIFF whose directory lies beyond it"},
        {"http://example.com/cover.jpg", ImageKind::none, "a URL"},
        {std::string("\0\1\0\0\0\x0c\0\x80", 8), ImageKind::none, "a font"},
        {"", ImageKind::none, "nothing"},
        {"\xff", ImageKind::none, "one byte"},
    };
    for (const Row &row : rows)
        CHECK(whole_image_kind(reinterpret_cast<const unsigned char *>(row.bytes.data()), row.bytes.size()) == row.kind,
              row.what);
}
