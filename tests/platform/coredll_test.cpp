// COREDLL stand-in: string functions, conversions, local memory accounting, message box routing,
// streams opened in the object store.
#include <windows.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "teskel/coredll.h"

TEST(Coredll, WideStringFunctions) {
  WCHAR buf[32];
  wcscpy(buf, u"Drivers\\PCMCIA\\");
  wcscat(buf, u"Card");
  EXPECT_EQ(wcslen(buf), 19u);
  EXPECT_EQ(lstrcmpiW(buf, u"drivers\\pcmcia\\CARD"), 0);
  EXPECT_EQ(wcstoul(u"1F", nullptr, 16), 0x1Fu);
  WCHAR *end = nullptr;
  EXPECT_EQ(wcstoul(u"0x10G", &end, 16), 16u);
  EXPECT_EQ(*end, u'G');
  _ultow(4294967295ul, buf, 10);
  EXPECT_EQ(std::u16string(buf), u"4294967295");
  _itow(-42, buf, 10);
  EXPECT_EQ(std::u16string(buf), u"-42");
}

TEST(Coredll, Utf8RoundTrip) {
  std::u16string s = u"Caf\u00e9 \U0001F4F6";
  EXPECT_EQ(teskel::coredll::fromUtf8(teskel::coredll::toUtf8(s)), s);
  EXPECT_EQ(teskel::coredll::fromUtf8("\xC3"), u"\uFFFD");
  // A second spelling of a character, or one past U+10FFFF, is not taken for that character.
  EXPECT_EQ(teskel::coredll::fromUtf8("\xC1\xB7"), u"\uFFFD\uFFFD");
  EXPECT_EQ(teskel::coredll::fromUtf8("\xE0\x81\xB7"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(teskel::coredll::fromUtf8("\xF4\x90\x80\x80").front(), u'\uFFFD');
}

TEST(Coredll, LocalMemoryIsAccounted) {
  auto before = teskel::coredll::localBytesHeld();
  HLOCAL p = LocalAlloc(LPTR, 12);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(static_cast<unsigned char *>(p)[11], 0);
  EXPECT_EQ(teskel::coredll::localBytesHeld(), before + 12);
  EXPECT_EQ(LocalFree(p), nullptr);
  EXPECT_EQ(teskel::coredll::localBytesHeld(), before);
}

TEST(Coredll, MessageBoxGoesToTheHandler) {
  std::string seen;
  auto prev = teskel::coredll::setMessageBoxHandler([&](const teskel::coredll::MessageBoxRequest &r) {
    seen = r.caption + "|" + r.text;
    return IDCANCEL;
  });
  EXPECT_EQ(MessageBoxW(nullptr, u"DefaultKeys: fail", u"Debug", MB_OK), IDCANCEL);
  EXPECT_EQ(seen, "Debug|DefaultKeys: fail");
  teskel::coredll::setMessageBoxHandler(prev);
}

// The device has no current directory: every name is in the root of the object store.
TEST(Coredll, StreamsOpenInTheObjectStoreRoot) {
  std::string folder = (std::filesystem::temp_directory_path() / "teskel-coredll-XXXXXX").string();
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  std::filesystem::create_directory(std::filesystem::path(folder) / "Windows");
  {
    teskel::coredll::ScopedObjectStoreRoot root(folder);
    for (const char16_t *name : {u"fenwa_log.txt", u"\\Windows\\boot.txt", u"/top.txt"}) {
      FILE *f = _wfopen(name, u"a+");
      ASSERT_NE(f, nullptr) << teskel::coredll::toUtf8(name);
      std::fputs("x\n", f);
      std::fclose(f);
    }
    EXPECT_EQ(_wfopen(u"missing\\x.txt", u"a+"), nullptr);
  }
  EXPECT_EQ(teskel::coredll::objectStoreRoot(), std::filesystem::path());
  for (const char *file : {"fenwa_log.txt", "Windows/boot.txt", "top.txt"})
    EXPECT_EQ(std::filesystem::file_size(std::filesystem::path(folder) / file), 2u) << file;
  std::filesystem::remove_all(folder);
}
