// Reading compiled resources: .res entries, string tables, dialog templates, icons and bitmaps.
// Every length and offset comes from the file, so each one is checked before it is used.
#include "teskel/ui_resources.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "teskel/coredll.h"

namespace teskel::ui {

namespace {

// Bounded little-endian reader over one region; failures name the region and the offset.
class Reader {
 public:
  Reader(std::span<const std::uint8_t> data, std::string what, std::size_t base = 0)
      : data_(data), what_(std::move(what)), base_(base) {}

  std::size_t pos() const { return pos_; }
  std::size_t left() const { return data_.size() - pos_; }
  void seek(std::size_t p) {
    if (p > data_.size()) fail("offset past the end");
    pos_ = p;
  }
  void need(std::size_t n) {
    if (n > left()) fail("needs " + std::to_string(n) + " bytes, " + std::to_string(left()) + " left");
  }
  std::uint8_t u8() {
    need(1);
    return data_[pos_++];
  }
  std::uint16_t u16() {
    need(2);
    std::uint16_t v = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  std::uint32_t u32() {
    need(4);
    std::uint32_t v = static_cast<std::uint32_t>(data_[pos_]) | (static_cast<std::uint32_t>(data_[pos_ + 1]) << 8) |
                      (static_cast<std::uint32_t>(data_[pos_ + 2]) << 16) |
                      (static_cast<std::uint32_t>(data_[pos_ + 3]) << 24);
    pos_ += 4;
    return v;
  }
  std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  std::vector<std::uint8_t> bytes(std::size_t n) {
    need(n);
    std::vector<std::uint8_t> v(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                data_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
    pos_ += n;
    return v;
  }
  // Zero-terminated UTF-16 text.
  std::u16string sz() {
    std::u16string s;
    for (;;) {
      if (left() < 2) fail("text without its terminating zero");
      char16_t c = static_cast<char16_t>(u16());
      if (c == 0) return s;
      s.push_back(c);
    }
  }
  // 0xFFFF followed by an ordinal, or zero-terminated text.
  ResId szOrOrd() {
    need(2);
    std::uint16_t first = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    if (first == 0xFFFF) {
      pos_ += 2;
      return ResId::of(u16());
    }
    return ResId::named(sz());
  }
  // Aligns relative to the region start; padding past the end is allowed only when nothing follows.
  void align(std::size_t n) {
    std::size_t p = (pos_ + n - 1) / n * n;
    pos_ = std::min(p, data_.size());
  }
  [[noreturn]] void fail(const std::string &why) const {
    throw ResourceError(what_ + " at offset " + std::to_string(base_ + pos_) + ": " + why);
  }

 private:
  std::span<const std::uint8_t> data_;
  std::string what_;
  std::size_t base_;
  std::size_t pos_ = 0;
};

char16_t upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

std::string describe(const ResId &type, const ResId &name) {
  return "resource " + name.str() + " of type " + type.str();
}

}  // namespace

std::string ResId::str() const {
  if (ordinal) return std::to_string(*ordinal);
  return "\"" + coredll::toUtf8(name) + "\"";
}

bool ResId::operator==(const ResId &o) const {
  if (ordinal || o.ordinal) return ordinal == o.ordinal;
  if (name.size() != o.name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (upper(name[i]) != upper(o.name[i])) return false;
  return true;
}

std::vector<Resource> parseResFile(std::span<const std::uint8_t> bytes) {
  std::vector<Resource> out;
  std::size_t pos = 0;
  bool first = true;
  if (bytes.empty()) throw ResourceError("resource file is empty");
  while (pos < bytes.size()) {
    Reader head(bytes.subspan(pos), "resource header", pos);
    std::uint32_t dataSize = head.u32();
    std::uint32_t headerSize = head.u32();
    if (headerSize > bytes.size() - pos) head.fail("header size " + std::to_string(headerSize) + " runs past the end");
    Reader r(bytes.subspan(pos, headerSize), "resource header", pos);
    r.seek(8);
    Resource res;
    res.type = r.szOrOrd();
    res.name = r.szOrOrd();
    r.align(4);
    res.dataVersion = r.u32();
    res.memoryFlags = r.u16();
    res.language = r.u16();
    res.version = r.u32();
    res.characteristics = r.u32();
    std::size_t dataStart = pos + headerSize;
    if (dataSize > bytes.size() - dataStart)
      throw ResourceError("resource data at offset " + std::to_string(dataStart) + ": " + std::to_string(dataSize) +
                          " bytes run past the end of the file");
    if (first) {
      // A 32-bit .res file opens with an empty entry so that it can't be taken for a 16-bit one.
      if (dataSize != 0 || !res.type.isOrdinal() || *res.type.ordinal != 0)
        throw ResourceError("not a 32-bit resource file (no empty leading entry)");
      first = false;
    } else if (!(res.type.isOrdinal() && *res.type.ordinal == 0)) {
      res.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(dataStart),
                      bytes.begin() + static_cast<std::ptrdiff_t>(dataStart + dataSize));
      out.push_back(std::move(res));
    }
    pos = (dataStart + dataSize + 3) / 4 * 4;
  }
  return out;
}

DialogTemplate parseDialogTemplate(std::span<const std::uint8_t> bytes) {
  Reader r(bytes, "dialog template");
  DialogTemplate t;
  std::uint16_t itemCount = 0;
  r.need(4);
  if (bytes[0] == 1 && bytes[1] == 0 && bytes[2] == 0xFF && bytes[3] == 0xFF) {
    t.extended = true;
    r.seek(4);
    t.helpId = r.u32();
    t.exStyle = r.u32();
    t.style = r.u32();
  } else {
    t.style = r.u32();
    t.exStyle = r.u32();
  }
  itemCount = r.u16();
  t.x = r.i16();
  t.y = r.i16();
  t.cx = r.i16();
  t.cy = r.i16();
  t.menu = r.szOrOrd();
  t.cls = r.szOrOrd();
  t.title = r.sz();
  // DS_SETFONT (DS_SHELLFONT includes it) announces the font.
  if (t.style & 0x40) {
    t.hasFont = true;
    t.pointSize = r.u16();
    if (t.extended) {
      t.weight = r.u16();
      t.italic = r.u8();
      t.charset = r.u8();
    }
    t.typeface = r.sz();
  }
  for (std::uint16_t i = 0; i < itemCount; ++i) {
    r.align(4);
    DialogItem item;
    if (t.extended) {
      item.helpId = r.u32();
      item.exStyle = r.u32();
      item.style = r.u32();
    } else {
      item.style = r.u32();
      item.exStyle = r.u32();
    }
    item.x = r.i16();
    item.y = r.i16();
    item.cx = r.i16();
    item.cy = r.i16();
    item.id = t.extended ? r.u32() : r.u16();
    item.cls = r.szOrOrd();
    item.title = r.szOrOrd();
    std::uint16_t extra = r.u16();
    if (extra) {
      // The classic form counts the size word itself; the extended form counts what follows.
      std::size_t n = t.extended ? extra : (extra >= 2 ? extra - 2u : 0u);
      item.creationData = r.bytes(n);
    }
    t.items.push_back(std::move(item));
  }
  return t;
}

namespace {

int channel(std::uint32_t v, std::uint32_t mask) {
  if (!mask) return 0;
  int shift = 0;
  while (!((mask >> shift) & 1)) ++shift;
  std::uint32_t m = mask >> shift;
  std::uint32_t c = (v & mask) >> shift;
  return static_cast<int>(c * 255 / m);
}

}  // namespace

Image decodeDib(std::span<const std::uint8_t> bytes, bool iconMasks) {
  Reader r(bytes, iconMasks ? "icon image" : "bitmap");
  Image img;
  if (bytes.size() >= 8 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[2] == 'N' && bytes[3] == 'G') {
    if (!iconMasks) r.fail("PNG data where a bitmap was expected");
    // IHDR: signature (8), length (4), "IHDR" (4), width and height big-endian.
    r.need(24);
    auto be = [&](std::size_t o) {
      return static_cast<int>((bytes[o] << 24) | (bytes[o + 1] << 16) | (bytes[o + 2] << 8) | bytes[o + 3]);
    };
    img.png = true;
    img.width = be(16);
    img.height = be(20);
    if (img.width <= 0 || img.height <= 0) r.fail("PNG image without a size");
    return img;
  }
  std::uint32_t headerSize = r.u32();
  if (headerSize < 40 || headerSize > bytes.size()) r.fail("unsupported bitmap header size " + std::to_string(headerSize));
  std::int32_t width = r.i32();
  std::int32_t height = r.i32();
  std::uint16_t planes = r.u16();
  std::uint16_t bpp = r.u16();
  std::uint32_t compression = r.u32();
  r.u32();  // image size, often 0 for uncompressed bits
  r.u32();
  r.u32();
  std::uint32_t colorsUsed = r.u32();
  r.u32();
  if (planes != 1) r.fail("bitmap with " + std::to_string(planes) + " planes");
  if (width <= 0 || width > 4096) r.fail("bitmap width " + std::to_string(width) + " out of range");
  if (height == 0 || height < -8192 || height > 8192) r.fail("bitmap height " + std::to_string(height) + " out of range");
  bool topDown = height < 0;
  int rows = topDown ? -height : height;
  if (iconMasks) {
    if (topDown || rows % 2) r.fail("icon image height must cover colour bits and mask");
    rows /= 2;
  }
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
    r.fail("unsupported depth of " + std::to_string(bpp) + " bits per pixel");
  std::uint32_t masks[3] = {0, 0, 0};
  std::size_t offset = headerSize;
  if (compression == 3 && (bpp == 16 || bpp == 32)) {
    r.seek(40);
    masks[0] = r.u32();
    masks[1] = r.u32();
    masks[2] = r.u32();
    if (headerSize == 40) offset += 12;
  } else if (compression != 0) {
    r.fail("compressed bitmaps (method " + std::to_string(compression) + ") are not supported");
  } else if (bpp == 16) {
    masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
  } else if (bpp == 32) {
    masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  }
  // Deeper pictures may carry a colour table too (a hint for palette displays); the bits follow it.
  std::vector<std::uint32_t> palette;
  std::size_t tableSize = bpp <= 8 ? (colorsUsed ? colorsUsed : (1u << bpp)) : colorsUsed;
  if (tableSize > 256) r.fail("colour table of " + std::to_string(tableSize) + " entries");
  r.seek(offset);
  for (std::size_t i = 0; i < tableSize; ++i) {
    std::uint32_t q = r.u32();
    palette.push_back(0xFF000000u | (q & 0xFFFFFF));
  }
  offset += 4 * tableSize;
  std::uint64_t stride = (static_cast<std::uint64_t>(width) * bpp + 31) / 32 * 4;
  std::uint64_t maskStride = (static_cast<std::uint64_t>(width) + 31) / 32 * 4;
  std::uint64_t need = offset + stride * static_cast<std::uint64_t>(rows);
  if (iconMasks) need += maskStride * static_cast<std::uint64_t>(rows);
  if (need > bytes.size())
    r.fail("pixel data needs " + std::to_string(need) + " bytes, the image holds " + std::to_string(bytes.size()));

  img.width = width;
  img.height = rows;
  img.pixels.assign(static_cast<std::size_t>(width) * rows, 0);
  bool anyAlpha = false;
  for (int row = 0; row < rows; ++row) {
    int y = topDown ? row : rows - 1 - row;
    const std::uint8_t *p = bytes.data() + offset + stride * row;
    for (int x = 0; x < width; ++x) {
      std::uint32_t px = 0;
      switch (bpp) {
        case 1:
        case 4:
        case 8: {
          std::size_t bit = static_cast<std::size_t>(x) * bpp;
          std::uint32_t idx = (p[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
          px = idx < palette.size() ? palette[idx] : 0xFF000000u;
          break;
        }
        case 16: {
          std::uint32_t v = static_cast<std::uint32_t>(p[2 * x] | (p[2 * x + 1] << 8));
          px = 0xFF000000u | (channel(v, masks[0]) << 16) | (channel(v, masks[1]) << 8) | channel(v, masks[2]);
          break;
        }
        case 24:
          px = 0xFF000000u | (p[3 * x + 2] << 16) | (p[3 * x + 1] << 8) | p[3 * x];
          break;
        case 32: {
          std::uint32_t v = static_cast<std::uint32_t>(p[4 * x]) | (static_cast<std::uint32_t>(p[4 * x + 1]) << 8) |
                            (static_cast<std::uint32_t>(p[4 * x + 2]) << 16) |
                            (static_cast<std::uint32_t>(p[4 * x + 3]) << 24);
          std::uint32_t a = iconMasks ? (v >> 24) : 0xFF;
          if (iconMasks && a) anyAlpha = true;
          px = (a << 24) | (channel(v, masks[0]) << 16) | (channel(v, masks[1]) << 8) | channel(v, masks[2]);
          break;
        }
      }
      img.pixels[static_cast<std::size_t>(y) * width + x] = px;
    }
  }
  if (iconMasks && !anyAlpha) {
    // Without an alpha channel the AND mask says which pixels are transparent.
    std::size_t maskOffset = offset + stride * rows;
    for (int row = 0; row < rows; ++row) {
      int y = rows - 1 - row;
      const std::uint8_t *m = bytes.data() + maskOffset + maskStride * row;
      for (int x = 0; x < width; ++x) {
        bool transparent = (m[x / 8] >> (7 - x % 8)) & 1;
        auto &px = img.pixels[static_cast<std::size_t>(y) * width + x];
        px = transparent ? (px & 0xFFFFFF) : (px | 0xFF000000u);
      }
    }
  }
  return img;
}

std::vector<IconDirEntry> parseIconGroup(std::span<const std::uint8_t> bytes) {
  Reader r(bytes, "icon group");
  if (r.u16() != 0) r.fail("reserved word is not zero");
  if (r.u16() != 1) r.fail("not an icon group");
  std::uint16_t count = r.u16();
  if (count == 0) r.fail("icon group without images");
  std::vector<IconDirEntry> out;
  for (std::uint16_t i = 0; i < count; ++i) {
    IconDirEntry e;
    e.width = r.u8();
    e.height = r.u8();
    e.colorCount = r.u8();
    r.u8();
    e.planes = r.u16();
    e.bitCount = r.u16();
    e.bytesInRes = r.u32();
    e.iconId = r.u16();
    out.push_back(e);
  }
  return out;
}

Module::Module(std::span<const std::uint8_t> resBytes) : resources_(parseResFile(resBytes)) {
  // Icon images by id (the first in file order, as find() picks), each checked once however many
  // group entries name it: a crafted file can name one large image from thousands of entries.
  std::map<std::uint16_t, const Resource *> iconImages;
  for (const Resource &res : resources_)
    if (res.type == ResId::of(kRtIcon) && res.name.isOrdinal()) iconImages.emplace(*res.name.ordinal, &res);
  std::set<std::uint16_t> checkedIcons;
  for (const Resource &res : resources_) {
    if (!res.type.isOrdinal()) continue;
    try {
      switch (*res.type.ordinal) {
        case kRtString: {
          if (!res.name.isOrdinal() || *res.name.ordinal == 0 || *res.name.ordinal > 4096)
            throw ResourceError("string table block must be numbered 1 to 4096");
          Reader r(res.data, "string table");
          std::uint32_t firstId = (static_cast<std::uint32_t>(*res.name.ordinal) - 1) * 16;
          for (std::uint32_t i = 0; i < 16; ++i) {
            std::uint16_t len = r.u16();
            std::u16string s;
            for (std::uint16_t k = 0; k < len; ++k) s.push_back(static_cast<char16_t>(r.u16()));
            // A table for another language does not replace the first one read.
            if (len) strings_.emplace(firstId + i, std::move(s));
          }
          break;
        }
        case kRtDialog:
          dialogs_.emplace_back(res.name, parseDialogTemplate(res.data));
          break;
        case kRtGroupIcon:
          for (const IconDirEntry &e : parseIconGroup(res.data)) {
            auto img = iconImages.find(e.iconId);
            if (img == iconImages.end()) throw ResourceError("icon image " + std::to_string(e.iconId) + " is missing");
            if (!checkedIcons.insert(e.iconId).second) continue;
            decodeDib(img->second->data, true);
            ++picturesDecoded_;
          }
          break;
        case kRtBitmap:
          decodeDib(res.data, false);
          ++picturesDecoded_;
          break;
        default:
          break;
      }
    } catch (const ResourceError &e) {
      throw ResourceError(describe(res.type, res.name) + ": " + e.what());
    }
  }
}

const Resource *Module::find(const ResId &type, const ResId &name) const {
  for (const Resource &r : resources_)
    if (r.type == type && r.name == name) return &r;
  return nullptr;
}

std::optional<std::u16string> Module::string(std::uint32_t id) const {
  auto it = strings_.find(id);
  if (it == strings_.end()) return std::nullopt;
  return it->second;
}

const std::u16string *Module::stringRef(std::uint32_t id) const {
  auto it = strings_.find(id);
  return it == strings_.end() ? nullptr : &it->second;
}

bool Module::hasDialog(const ResId &name) const {
  return std::any_of(dialogs_.begin(), dialogs_.end(), [&](const auto &d) { return d.first == name; });
}

const DialogTemplate &Module::dialog(const ResId &name) const {
  for (const auto &d : dialogs_)
    if (d.first == name) return d.second;
  throw ResourceError("dialog " + name.str() + " is not among the resources");
}

bool Module::hasIcon(const ResId &name) const { return find(ResId::of(kRtGroupIcon), name) != nullptr; }
bool Module::hasBitmap(const ResId &name) const { return find(ResId::of(kRtBitmap), name) != nullptr; }

Image Module::icon(const ResId &name, int size) const {
  const Resource *group = find(ResId::of(kRtGroupIcon), name);
  if (!group) throw ResourceError("icon " + name.str() + " is not among the resources");
  std::vector<IconDirEntry> entries = parseIconGroup(group->data);
  const IconDirEntry *best = nullptr;
  auto score = [&](const IconDirEntry &e) {
    int w = e.width ? e.width : 256;
    return std::make_pair(std::abs(w - size), -static_cast<int>(e.bitCount));
  };
  for (const IconDirEntry &e : entries)
    if (!best || score(e) < score(*best)) best = &e;
  const Resource *img = find(ResId::of(kRtIcon), ResId::of(best->iconId));
  if (!img) throw ResourceError("icon image " + std::to_string(best->iconId) + " is missing");
  return decodeDib(img->data, true);
}

Image Module::bitmap(const ResId &name) const {
  const Resource *res = find(ResId::of(kRtBitmap), name);
  if (!res) throw ResourceError("bitmap " + name.str() + " is not among the resources");
  return decodeDib(res->data, false);
}

}  // namespace teskel::ui
