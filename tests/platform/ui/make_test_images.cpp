// Writes the small icons and bitmaps that the UI tests' resource scripts compile in.
// Each picture has a pattern the tests check pixel by pixel after the round trip through windres.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void u16(Bytes &b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void u32(Bytes &b, std::uint32_t v) {
  u16(b, v & 0xFFFF);
  u16(b, v >> 16);
}

// BITMAPINFOHEADER; for icons the height covers colour bits and mask.
Bytes infoHeader(int w, int h, int bpp, int colors) {
  Bytes b;
  u32(b, 40);
  u32(b, static_cast<std::uint32_t>(w));
  u32(b, static_cast<std::uint32_t>(h));
  u16(b, 1);
  u16(b, static_cast<unsigned>(bpp));
  u32(b, 0);
  u32(b, 0);
  u32(b, 0);
  u32(b, 0);
  u32(b, static_cast<std::uint32_t>(colors));
  u32(b, 0);
  return b;
}

std::size_t stride(int w, int bpp) { return static_cast<std::size_t>((w * bpp + 31) / 32 * 4); }

struct IconImage {
  int size;
  int bpp;
  Bytes dib;
};

// 16 x 16, 32 bits: green inside, a transparent one-pixel border (by alpha).
IconImage greenIcon() {
  IconImage img{16, 32, infoHeader(16, 32, 32, 0)};
  for (int row = 0; row < 16; ++row)
    for (int x = 0; x < 16; ++x) {
      bool border = x == 0 || x == 15 || row == 0 || row == 15;
      std::uint32_t px = border ? 0x00000000u : 0xFF00A000u;
      u32(img.dib, px);
    }
  for (int row = 0; row < 16; ++row) u32(img.dib, 0);  // AND mask (alpha wins)
  return img;
}

// 32 x 32, 4 bits: all blue (palette index 2).
IconImage blueIcon() {
  IconImage img{32, 4, infoHeader(32, 64, 4, 16)};
  for (int i = 0; i < 16; ++i) u32(img.dib, i == 2 ? 0x000000FFu : 0);
  for (int row = 0; row < 32; ++row)
    for (std::size_t k = 0; k < stride(32, 4); ++k) img.dib.push_back(0x22);
  for (int row = 0; row < 32; ++row) u32(img.dib, 0);
  return img;
}

// 16 x 16, 4 bits: red (index 1), the left column transparent through the AND mask.
IconImage redIcon() {
  IconImage img{16, 4, infoHeader(16, 32, 4, 16)};
  for (int i = 0; i < 16; ++i) u32(img.dib, i == 1 ? 0x00FF0000u : 0);
  for (int row = 0; row < 16; ++row)
    for (std::size_t k = 0; k < stride(16, 4); ++k) img.dib.push_back(0x11);
  for (int row = 0; row < 16; ++row) {
    img.dib.push_back(0x80);
    img.dib.push_back(0x00);
    img.dib.push_back(0x00);
    img.dib.push_back(0x00);
  }
  return img;
}

Bytes iconFile(const std::vector<IconImage> &images) {
  Bytes b;
  u16(b, 0);
  u16(b, 1);
  u16(b, static_cast<unsigned>(images.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
  for (const IconImage &i : images) {
    b.push_back(static_cast<std::uint8_t>(i.size));
    b.push_back(static_cast<std::uint8_t>(i.size));
    b.push_back(i.bpp == 4 ? 16 : 0);
    b.push_back(0);
    u16(b, 1);
    u16(b, static_cast<unsigned>(i.bpp));
    u32(b, static_cast<std::uint32_t>(i.dib.size()));
    u32(b, offset);
    offset += static_cast<std::uint32_t>(i.dib.size());
  }
  for (const IconImage &i : images) b.insert(b.end(), i.dib.begin(), i.dib.end());
  return b;
}

Bytes bmpFile(const Bytes &dib, std::uint32_t bitsOffsetInDib) {
  Bytes b;
  b.push_back('B');
  b.push_back('M');
  u32(b, static_cast<std::uint32_t>(14 + dib.size()));
  u32(b, 0);
  u32(b, 14 + bitsOffsetInDib);
  b.insert(b.end(), dib.begin(), dib.end());
  return b;
}

// 8 x 4, 24 bits, stored bottom-up: the top row red, below it black on the left half and white on
// the right half.
Bytes logo() {
  Bytes dib = infoHeader(8, 4, 24, 0);
  for (int row = 3; row >= 0; --row) {
    for (int x = 0; x < 8; ++x) {
      std::uint8_t r, g, bl;
      if (row == 0)
        r = 0xFF, g = 0, bl = 0;
      else if (x < 4)
        r = g = bl = 0;
      else
        r = g = bl = 0xFF;
      dib.push_back(bl);
      dib.push_back(g);
      dib.push_back(r);
    }
  }
  return bmpFile(dib, 40);
}

// 10 x 2, 1 bit, stored top-down: the top row alternates white and black from white, the bottom
// row is black.
Bytes stripes() {
  Bytes dib = infoHeader(10, -2, 1, 2);
  u32(dib, 0x00000000);
  u32(dib, 0x00FFFFFF);
  // Top row: bits 1010101010 -> 0xAA 0x80; rows are padded to four bytes.
  dib.push_back(0xAA);
  dib.push_back(0x80);
  dib.push_back(0);
  dib.push_back(0);
  for (int i = 0; i < 4; ++i) dib.push_back(0);
  return bmpFile(dib, 48);
}

bool write(const std::string &path, const Bytes &b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_test_images OUTPUT_DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  bool ok = write(dir + "/green.ico", iconFile({greenIcon(), blueIcon()})) && write(dir + "/red.ico", iconFile({redIcon()})) &&
            write(dir + "/logo.bmp", logo()) && write(dir + "/stripes.bmp", stripes());
  if (!ok) {
    std::fprintf(stderr, "make_test_images: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
