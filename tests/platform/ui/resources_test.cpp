// Resource loader: .res entries, string tables, dialog templates, icons and bitmaps from files
// built by windres, and rejection of truncated and corrupt files.
#include <random>
#include <set>

#include "ui_test_util.h"

using namespace teskel::ui;
using uitest::built;
using uitest::readFile;

namespace {

std::u16string ordinalTitle(const DialogItem &item) {
  return item.title.isOrdinal() ? u"#" + uitest::u16(std::to_string(*item.title.ordinal)) : item.title.name;
}

void put32(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Offsets at which each entry of a .res file starts, found independently of the loader from the
// two size words of each header.
std::vector<std::size_t> entryBoundaries(const std::vector<std::uint8_t> &b) {
  std::vector<std::size_t> out;
  std::size_t pos = 0;
  while (pos + 8 <= b.size()) {
    out.push_back(pos);
    std::uint32_t data = b[pos] | b[pos + 1] << 8 | b[pos + 2] << 16 | static_cast<std::uint32_t>(b[pos + 3]) << 24;
    std::uint32_t head = b[pos + 4] | b[pos + 5] << 8 | b[pos + 6] << 16 | static_cast<std::uint32_t>(b[pos + 7]) << 24;
    pos = (pos + head + data + 3) / 4 * 4;
  }
  return out;
}

// Lengths at which a file cut short is still whole: right after an entry's data, with or without
// the padding that would align the next entry.
std::set<std::size_t> wholeLengths(const std::vector<std::uint8_t> &b) {
  std::set<std::size_t> out;
  for (std::size_t start : entryBoundaries(b)) {
    std::uint32_t data = b[start] | b[start + 1] << 8 | b[start + 2] << 16 | static_cast<std::uint32_t>(b[start + 3]) << 24;
    std::uint32_t head = b[start + 4] | b[start + 5] << 8 | b[start + 6] << 16 | static_cast<std::uint32_t>(b[start + 7]) << 24;
    for (std::size_t end = start + head + data; end <= (start + head + data + 3) / 4 * 4; ++end) out.insert(end);
  }
  return out;
}

class ResourcesTest : public ::testing::Test {
 protected:
  std::vector<std::uint8_t> bytes = readFile(built("basic.res"));
  Module module{bytes};
};

TEST_F(ResourcesTest, StringTablesByIdAcrossBlocks) {
  struct Case {
    std::uint32_t id;
    const char16_t *text;
  } cases[] = {{1, u"Larkwell Hidden"}, {2, u"Pemblo"}, {17, u"seventeen"}, {300, u"three hundred"}};
  for (const auto &c : cases) {
    auto s = module.string(c.id);
    ASSERT_TRUE(s.has_value()) << c.id;
    EXPECT_EQ(*s, c.text) << c.id;
  }
  for (std::uint32_t missing : {0u, 3u, 16u, 18u, 301u, 65535u}) EXPECT_FALSE(module.string(missing)) << missing;
}

TEST_F(ResourcesTest, ClassicDialogTemplateWithFontAndClassOrdinals) {
  const DialogTemplate &t = module.dialog(ResId::of(120));
  EXPECT_FALSE(t.extended);
  EXPECT_EQ(t.cx, 160);
  EXPECT_EQ(t.cy, 120);
  EXPECT_EQ(t.title, u"Controls");
  EXPECT_TRUE(t.hasFont);
  EXPECT_EQ(t.pointSize, 8);
  EXPECT_EQ(t.typeface, u"MS Sans Serif");
  EXPECT_TRUE(t.style & WS_CAPTION);
  ASSERT_EQ(t.items.size(), 15u);

  struct Expect {
    std::uint32_t id;
    std::optional<std::uint16_t> classOrdinal;
    const char16_t *className;
    std::int16_t x, y, cx, cy;
    DWORD styleBits;
    const char16_t *title;
  } expect[] = {
      {1000, 0x85, nullptr, 10, 10, 60, 100, CBS_DROPDOWNLIST | CBS_SORT | WS_TABSTOP, u""},
      {1001, 0x85, nullptr, 10, 22, 60, 50, CBS_DROPDOWNLIST, u""},
      {1080, 0x81, nullptr, 10, 34, 14, 12, ES_UPPERCASE | ES_NOHIDESEL | WS_BORDER, u""},
      {1081, 0x81, nullptr, 30, 34, 40, 12, ES_READONLY, u""},
      {1040, 0x80, nullptr, 10, 50, 60, 10, BS_AUTOCHECKBOX, u"Power saving"},
      {1042, 0x80, nullptr, 10, 60, 60, 10, BS_CHECKBOX, u"Manual"},
      {1009, 0x80, nullptr, 80, 50, 33, 14, WS_TABSTOP, u"Update"},
      {1013, std::nullopt, u"MSCTLS_PROGRESS32", 10, 75, 60, 10, PBS_SMOOTH | WS_BORDER, u""},
      {1060, std::nullopt, u"STATIC", 80, 70, 32, 16, SS_BITMAP, u"#117"},
      {1070, 0x82, nullptr, 10, 90, 40, 8, 0, u"&Name:"},
  };
  for (const auto &e : expect) {
    auto it = std::find_if(t.items.begin(), t.items.end(), [&](const DialogItem &i) { return i.id == e.id; });
    ASSERT_NE(it, t.items.end()) << e.id;
    if (e.classOrdinal) {
      ASSERT_TRUE(it->cls.isOrdinal()) << e.id;
      EXPECT_EQ(*it->cls.ordinal, *e.classOrdinal) << e.id;
    } else {
      EXPECT_TRUE(it->cls == ResId::named(e.className)) << e.id;
    }
    EXPECT_EQ(it->x, e.x) << e.id;
    EXPECT_EQ(it->y, e.y) << e.id;
    EXPECT_EQ(it->cx, e.cx) << e.id;
    EXPECT_EQ(it->cy, e.cy) << e.id;
    EXPECT_EQ(it->style & e.styleBits, e.styleBits) << e.id;
    EXPECT_TRUE(it->style & WS_CHILD) << e.id;
    EXPECT_EQ(ordinalTitle(*it), e.title) << e.id;
  }
  // Radio buttons of two groups: the group style starts each one.
  auto radio = [&](std::uint32_t id) {
    return std::find_if(t.items.begin(), t.items.end(), [&](const DialogItem &i) { return i.id == id; })->style;
  };
  EXPECT_TRUE(radio(1050) & WS_GROUP);
  EXPECT_FALSE(radio(1051) & WS_GROUP);
  EXPECT_TRUE(radio(1052) & WS_GROUP);
}

TEST_F(ResourcesTest, ExtendedDialogTemplate) {
  const DialogTemplate &t = module.dialog(ResId::of(130));
  EXPECT_TRUE(t.extended);
  EXPECT_EQ(t.x, 1);
  EXPECT_EQ(t.y, 2);
  EXPECT_EQ(t.title, u"Extended");
  EXPECT_EQ(t.pointSize, 9);
  EXPECT_EQ(t.weight, 700);
  EXPECT_EQ(t.italic, 1);
  EXPECT_EQ(t.typeface, u"Tahoma");
  ASSERT_EQ(t.items.size(), 2u);
  EXPECT_EQ(t.items[0].id, 70000u);
  EXPECT_EQ(t.items[0].helpId, 4242u);
  EXPECT_EQ(t.items[0].exStyle & WS_EX_CLIENTEDGE, static_cast<DWORD>(WS_EX_CLIENTEDGE));
  EXPECT_EQ(t.items[0].title.name, u"Go");
  EXPECT_EQ(t.items[1].id, 70001u);
  ASSERT_TRUE(t.items[1].cls.isOrdinal());
  EXPECT_EQ(*t.items[1].cls.ordinal, 0x81);
}

TEST_F(ResourcesTest, NamedResourcesIgnoreCase) {
  EXPECT_TRUE(module.hasDialog(ResId::named(u"named")));
  EXPECT_TRUE(module.hasDialog(ResId::named(u"NAMED")));
  EXPECT_FALSE(module.hasDialog(ResId::named(u"other")));
  EXPECT_TRUE(module.hasBitmap(ResId::named(u"Logo")));
  EXPECT_THROW(module.dialog(ResId::of(999)), ResourceError);
}

TEST_F(ResourcesTest, IconGroupPicksTheClosestSize) {
  Image small = module.icon(ResId::of(104), 16);
  ASSERT_EQ(small.width, 16);
  ASSERT_EQ(small.height, 16);
  EXPECT_EQ(small.at(0, 0) >> 24, 0u) << "border transparent through alpha";
  EXPECT_EQ(small.at(5, 5), 0xFF00A000u);
  Image large = module.icon(ResId::of(104), 32);
  ASSERT_EQ(large.width, 32);
  EXPECT_EQ(large.at(31, 31), 0xFF0000FFu);

  Image red = module.icon(ResId::of(108), 16);
  EXPECT_EQ(red.at(0, 3) >> 24, 0u) << "left column masked out";
  EXPECT_EQ(red.at(1, 3), 0xFFFF0000u);
  EXPECT_THROW(module.icon(ResId::of(999), 16), ResourceError);
}

TEST_F(ResourcesTest, BitmapsBottomUpAndTopDown) {
  Image logo = module.bitmap(ResId::of(117));
  ASSERT_EQ(logo.width, 8);
  ASSERT_EQ(logo.height, 4);
  for (int x = 0; x < 8; ++x) EXPECT_EQ(logo.at(x, 0), 0xFFFF0000u) << "top row red, x " << x;
  for (int y = 1; y < 4; ++y) {
    EXPECT_EQ(logo.at(0, y), 0xFF000000u);
    EXPECT_EQ(logo.at(3, y), 0xFF000000u);
    EXPECT_EQ(logo.at(4, y), 0xFFFFFFFFu);
    EXPECT_EQ(logo.at(7, y), 0xFFFFFFFFu);
  }
  Image stripes = module.bitmap(ResId::of(118));
  ASSERT_EQ(stripes.width, 10);
  ASSERT_EQ(stripes.height, 2);
  for (int x = 0; x < 10; ++x) {
    EXPECT_EQ(stripes.at(x, 0), x % 2 == 0 ? 0xFFFFFFFFu : 0xFF000000u) << x;
    EXPECT_EQ(stripes.at(x, 1), 0xFF000000u) << x;
  }
}

TEST_F(ResourcesTest, EveryTruncationIsRejectedUnlessItEndsAfterAnEntry) {
  std::set<std::size_t> whole = wholeLengths(bytes);
  std::size_t total = module.resources().size();
  for (std::size_t len = 0; len < bytes.size(); ++len) {
    std::span<const std::uint8_t> prefix(bytes.data(), len);
    if (whole.count(len)) {
      Module shorter(prefix);
      EXPECT_LT(shorter.resources().size(), total) << len;
    } else {
      EXPECT_THROW(Module{prefix}, ResourceError) << "prefix of " << len << " bytes";
    }
  }
}

TEST_F(ResourcesTest, CorruptFieldsAreRejected) {
  std::vector<std::size_t> bounds = entryBoundaries(bytes);
  // Entry 1 is the first real resource (entry 0 is the empty leading one).
  std::size_t first = bounds[1];
  struct Case {
    const char *what;
    std::function<void(std::vector<std::uint8_t> &)> spoil;
  } cases[] = {
      {"no leading empty entry", [](auto &b) { put32(b, 0, 4); }},
      {"header size past the end", [&](auto &b) { put32(b, first + 4, 0x7FFFFFF0); }},
      {"header size too small for its names", [&](auto &b) { put32(b, first + 4, 12); }},
      {"data size past the end", [&](auto &b) { put32(b, first, 0xFFFFFFF0); }},
  };
  for (const auto &c : cases) {
    std::vector<std::uint8_t> b = bytes;
    c.spoil(b);
    EXPECT_THROW(Module{b}, ResourceError) << c.what;
  }
  EXPECT_THROW(Module{std::span<const std::uint8_t>()}, ResourceError);
}

TEST(ResourceParsers, CorruptTemplatesIconsAndBitmaps) {
  Module m(readFile(built("basic.res")));
  const Resource *dialog = m.find(ResId::of(kRtDialog), ResId::of(120));
  ASSERT_NE(dialog, nullptr);
  std::vector<std::uint8_t> d = dialog->data;
  d[8] = 0xFF;  // item count 255: items run past the end
  d[9] = 0;
  EXPECT_THROW(parseDialogTemplate(d), ResourceError);
  for (std::size_t len = 0; len + 1 < dialog->data.size(); ++len)
    EXPECT_THROW(parseDialogTemplate(std::span(dialog->data.data(), len)), ResourceError) << len;

  const Resource *group = m.find(ResId::of(kRtGroupIcon), ResId::of(104));
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(parseIconGroup(group->data).size(), 2u);
  std::vector<std::uint8_t> g = group->data;
  g[2] = 2;  // not an icon group (a cursor group)
  EXPECT_THROW(parseIconGroup(g), ResourceError);
  EXPECT_THROW(parseIconGroup(std::span(group->data.data(), group->data.size() - 1)), ResourceError);

  const Resource *bmp = m.find(ResId::of(kRtBitmap), ResId::of(117));
  ASSERT_NE(bmp, nullptr);
  struct Case {
    const char *what;
    std::size_t at;
    std::uint32_t value;
  } cases[] = {{"header size", 0, 12},    {"width", 4, 0},          {"huge width", 4, 100000},
               {"planes", 12, 3},         {"depth", 14, 7},         {"compression", 16, 1},
               {"palette too big", 32, 1000}};
  for (const auto &c : cases) {
    std::vector<std::uint8_t> b = bmp->data;
    if (c.at == 12 || c.at == 14) {
      b[c.at] = static_cast<std::uint8_t>(c.value);
      b[c.at + 1] = 0;
    } else {
      put32(b, c.at, c.value);
    }
    EXPECT_THROW(decodeDib(b, false), ResourceError) << c.what;
  }
  EXPECT_THROW(decodeDib(std::span(bmp->data.data(), bmp->data.size() - 1), false), ResourceError);
}

TEST(ResourceParsers, IconGroupNamingAMissingImageFailsTheModule) {
  std::vector<std::uint8_t> bytes = readFile(built("basic.res"));
  Module m(bytes);
  // Point the 104 group's first entry at an icon id that doesn't exist.
  const Resource *group = m.find(ResId::of(kRtGroupIcon), ResId::of(104));
  auto it = std::search(bytes.begin(), bytes.end(), group->data.begin(), group->data.end());
  ASSERT_NE(it, bytes.end());
  std::size_t at = static_cast<std::size_t>(it - bytes.begin()) + 6 + 12;
  bytes[at] = 0x77;
  bytes[at + 1] = 0x77;
  EXPECT_THROW(Module{bytes}, ResourceError);
}

// A .res entry with ordinal type and name, padded to the next entry.
void appendEntry(std::vector<std::uint8_t> &out, std::uint16_t type, std::uint16_t name,
                 const std::vector<std::uint8_t> &data) {
  std::size_t at = out.size();
  out.resize(at + 32, 0);
  put32(out, at, static_cast<std::uint32_t>(data.size()));
  put32(out, at + 4, 32);
  put32(out, at + 8, 0xFFFFu | static_cast<std::uint32_t>(type) << 16);
  put32(out, at + 12, 0xFFFFu | static_cast<std::uint32_t>(name) << 16);
  out.insert(out.end(), data.begin(), data.end());
  out.resize((out.size() + 3) / 4 * 4, 0);
}

TEST(ResourceParsers, AnImageNamedByManyGroupEntriesIsDecodedOnce) {
  Module source(readFile(built("basic.res")));
  const Resource *image = nullptr;
  for (const Resource &r : source.resources())
    if (r.type == ResId::of(kRtIcon)) image = &r;
  ASSERT_NE(image, nullptr);
  EXPECT_GE(source.picturesDecoded(), 2u) << "the pictures of a plain file are checked";
  // Two groups of 5000 entries each, every entry naming icon image 1.
  std::vector<std::uint8_t> group{0, 0, 1, 0, 0x88, 0x13};
  for (int i = 0; i < 5000; ++i) group.insert(group.end(), {16, 16, 0, 0, 1, 0, 32, 0, 0, 0, 0, 0, 1, 0});
  std::vector<std::uint8_t> file;
  appendEntry(file, 0, 0, {});
  appendEntry(file, kRtIcon, 1, image->data);
  appendEntry(file, kRtGroupIcon, 7, group);
  appendEntry(file, kRtGroupIcon, 8, group);
  Module m(file);
  EXPECT_EQ(m.picturesDecoded(), 1u);
  EXPECT_EQ(m.icon(ResId::of(8)).width, image->data[4]) << "the image itself is whole";
}

TEST(ResourceParsers, RandomDamageNeverReadsOutOfBounds) {
  // Either the damaged file loads or it is rejected; the sanitizer build catches any stray read.
  std::vector<std::uint8_t> bytes = readFile(built("basic.res"));
  std::mt19937 rng(12345);
  int rejected = 0;
  for (int round = 0; round < 400; ++round) {
    std::vector<std::uint8_t> b = bytes;
    for (int k = 0; k < 4; ++k) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
    try {
      Module m(b);
      for (const Resource &r : m.resources()) (void)r.data.size();
    } catch (const ResourceError &) {
      ++rejected;
    }
  }
  EXPECT_GT(rejected, 0);
}

}  // namespace
