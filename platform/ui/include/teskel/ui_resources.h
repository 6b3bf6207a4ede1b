// Compiled resources of a handheld program: the 32-bit .res file format (as windres -O res writes
// it), string tables, dialog templates, icon groups and device-independent bitmaps.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace teskel::ui {

// A .res file or one of its resources that cannot be read; the message names the offset and why.
class ResourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A resource type or name: an ordinal, or a string compared without regard to (ASCII) case.
struct ResId {
  std::optional<std::uint16_t> ordinal;
  std::u16string name;

  static ResId of(std::uint16_t id) { return ResId{id, {}}; }
  static ResId named(std::u16string n) { return ResId{std::nullopt, std::move(n)}; }
  bool isOrdinal() const { return ordinal.has_value(); }
  bool empty() const { return !ordinal && name.empty(); }
  // "104" for an ordinal, the name in UTF-8 otherwise.
  std::string str() const;
  bool operator==(const ResId &o) const;
};

// Standard resource types.
inline constexpr std::uint16_t kRtBitmap = 2;
inline constexpr std::uint16_t kRtIcon = 3;
inline constexpr std::uint16_t kRtDialog = 5;
inline constexpr std::uint16_t kRtString = 6;
inline constexpr std::uint16_t kRtGroupIcon = 14;

struct Resource {
  ResId type;
  ResId name;
  std::uint16_t language = 0;
  std::uint16_t memoryFlags = 0;
  std::uint32_t dataVersion = 0;
  std::uint32_t version = 0;
  std::uint32_t characteristics = 0;
  std::vector<std::uint8_t> data;
};

// Every resource of a .res file in file order (the leading empty entry left out).
std::vector<Resource> parseResFile(std::span<const std::uint8_t> bytes);

struct DialogItem {
  std::uint32_t helpId = 0;
  std::uint32_t exStyle = 0;
  std::uint32_t style = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::uint32_t id = 0;  // 16 bits in the classic form, 32 in the extended one
  ResId cls;             // ordinal 0x80 button ... 0x85 combo box, or a class name
  ResId title;           // text, or an ordinal naming a resource (picture controls)
  std::vector<std::uint8_t> creationData;
};

struct DialogTemplate {
  bool extended = false;
  std::uint32_t helpId = 0;
  std::uint32_t style = 0;
  std::uint32_t exStyle = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  ResId menu;
  ResId cls;
  std::u16string title;
  bool hasFont = false;
  std::uint16_t pointSize = 0;
  std::uint16_t weight = 0;
  std::uint8_t italic = 0;
  std::uint8_t charset = 0;
  std::u16string typeface;
  std::vector<DialogItem> items;
};

DialogTemplate parseDialogTemplate(std::span<const std::uint8_t> bytes);

// A decoded picture, rows top-down, pixels 0xAARRGGBB (alpha 0 = transparent).
struct Image {
  int width = 0;
  int height = 0;
  bool png = false;  // PNG-compressed icon image: size known, pixels not decoded
  std::vector<std::uint32_t> pixels;
  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// A device-independent bitmap (BITMAPINFOHEADER, colour table, bits), uncompressed 1/4/8/16/24/32
// bits per pixel. With `iconMasks` the height covers the colour bits and the AND mask.
Image decodeDib(std::span<const std::uint8_t> bytes, bool iconMasks);

struct IconDirEntry {
  std::uint8_t width = 0;  // 0 means 256
  std::uint8_t height = 0;
  std::uint8_t colorCount = 0;
  std::uint16_t planes = 0;
  std::uint16_t bitCount = 0;
  std::uint32_t bytesInRes = 0;
  std::uint16_t iconId = 0;
};
std::vector<IconDirEntry> parseIconGroup(std::span<const std::uint8_t> bytes);

// The resources of one loaded program. Construction reads and checks the whole file: string
// tables, dialog templates, icon groups (with the icons they name) and bitmaps; anything corrupt
// makes it throw ResourceError.
class Module {
 public:
  explicit Module(std::span<const std::uint8_t> resBytes);

  const std::vector<Resource> &resources() const { return resources_; }
  // First resource of that type and name (in file order, whatever its language).
  const Resource *find(const ResId &type, const ResId &name) const;
  std::optional<std::u16string> string(std::uint32_t id) const;
  const std::u16string *stringRef(std::uint32_t id) const;
  // Throw ResourceError when missing.
  const DialogTemplate &dialog(const ResId &name) const;
  // The image of the icon group closest to `size` pixels square.
  Image icon(const ResId &name, int size = 16) const;
  Image bitmap(const ResId &name) const;
  bool hasDialog(const ResId &name) const;
  bool hasIcon(const ResId &name) const;
  bool hasBitmap(const ResId &name) const;
  // Pictures decoded while the file was checked: every bitmap, and every icon image once.
  std::size_t picturesDecoded() const { return picturesDecoded_; }

 private:
  std::vector<Resource> resources_;
  std::map<std::uint32_t, std::u16string> strings_;
  std::vector<std::pair<ResId, DialogTemplate>> dialogs_;
  std::size_t picturesDecoded_ = 0;
};

}  // namespace teskel::ui
