// The configuration reader: every value type as every parameter type the miniport asks for,
// missing keywords and keys, parameter lifetime, named failures, and the 8-bit conversion.
#include <cstring>

#include "ndis_fixture.h"

using teskel::ndis::Call;

namespace ndistest {
namespace {

struct ReadResult {
  NDIS_STATUS status = NDIS_STATUS_PENDING;
  bool parameter = false;
  NDIS_PARAMETER_TYPE type{};
  ULONG integer = 0;
  std::u16string text;
  USHORT maximumLength = 0;
  std::vector<std::uint8_t> bytes;
};

ReadResult readOne(NDIS_HANDLE config, const char16_t *keyword, NDIS_PARAMETER_TYPE type) {
  NDIS_STRING name;
  NdisInitUnicodeString(&name, keyword);
  ReadResult r;
  PNDIS_CONFIGURATION_PARAMETER p = reinterpret_cast<PNDIS_CONFIGURATION_PARAMETER>(&r);  // must be replaced
  NdisReadConfiguration(&r.status, &p, config, &name, type);
  if (!p) return r;
  r.parameter = true;
  r.type = p->ParameterType;
  switch (type) {
    case NdisParameterInteger:
    case NdisParameterHexInteger:
      r.integer = p->ParameterData.IntegerData;
      break;
    case NdisParameterString:
    case NdisParameterMultiString:
      r.text.assign(p->ParameterData.StringData.Buffer, p->ParameterData.StringData.Length / sizeof(WCHAR));
      r.maximumLength = p->ParameterData.StringData.MaximumLength;
      break;
    case NdisParameterBinary: {
      auto *b = static_cast<std::uint8_t *>(p->ParameterData.BinaryData.Buffer);
      r.bytes.assign(b, b + p->ParameterData.BinaryData.Length);
      break;
    }
  }
  return r;
}

class Configuration : public NdisTest {
 protected:
  // Runs `body` with an open configuration handle inside MiniportInitialize.
  void withConfiguration(const std::function<void(NDIS_HANDLE)> &body) {
    script.duringInitialize = [&](NDIS_HANDLE context) {
      NDIS_STATUS status;
      NDIS_HANDLE config = nullptr;
      NdisOpenConfiguration(&status, &config, context);
      ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
      body(config);
      NdisCloseConfiguration(config);
    };
    start();
    script.duringInitialize = nullptr;
  }
};

TEST_F(Configuration, PresentsEachValueTypeAsTheAskedParameterType) {
  setDword("Dword", 1234);
  setText("Decimal", u"1234");
  setText("Prefixed", u"0x1F");
  setText("Negative", u"-1");
  setText("Padded", u" 42 ");
  setText("Mixed", u"12ab");
  setText("Empty", u"");
  setText("TooBig", u"4294967296");
  setText("Name", u"Client");
  setBinary("Keys", {0x00, 0x1A, 0xFF, 0x5C});
  setBinary("NoBytes", {});
  store_.setValue(key(), "List", REG_MULTI_SZ, utf16z(std::u16string(u"a\0bc\0", 5)));

  constexpr auto Int = NdisParameterInteger, Hex = NdisParameterHexInteger, Str = NdisParameterString,
                 Multi = NdisParameterMultiString, Bin = NdisParameterBinary;
  struct Case {
    const char16_t *keyword;
    NDIS_PARAMETER_TYPE type;
    bool ok;
    ULONG integer;
    std::u16string text;
  };
  const Case cases[] = {
      {u"Dword", Int, true, 1234, {}},
      {u"Dword", Hex, true, 1234, {}},
      {u"dWORD", Int, true, 1234, {}},
      {u"Decimal", Int, true, 1234, {}},
      {u"Decimal", Hex, true, 0x1234, {}},
      {u"Prefixed", Hex, true, 0x1F, {}},
      {u"Prefixed", Int, false, 0, {}},
      {u"Negative", Int, true, 0xFFFFFFFF, {}},
      {u"Negative", Hex, false, 0, {}},
      {u"Padded", Int, true, 42, {}},
      {u"Mixed", Int, false, 0, {}},
      {u"Mixed", Hex, true, 0x12AB, {}},
      {u"Empty", Int, false, 0, {}},
      {u"TooBig", Int, false, 0, {}},
      {u"Name", Str, true, 0, u"Client"},
      {u"Name", Int, false, 0, {}},
      {u"Keys", Str, true, 0, u"001AFF5C"},
      {u"Keys", Int, false, 0, {}},
      {u"NoBytes", Str, true, 0, u""},
      {u"Dword", Str, false, 0, {}},
      {u"List", Multi, true, 0, std::u16string(u"a\0bc\0", 5)},
      {u"List", Str, false, 0, {}},
      {u"Name", Multi, false, 0, {}},
      {u"Dword", Bin, false, 0, {}},
      {u"Missing", Int, false, 0, {}},
      {u"Missing", Str, false, 0, {}},
  };
  withConfiguration([&](NDIS_HANDLE config) {
    for (const auto &c : cases) {
      SCOPED_TRACE(::testing::Message() << std::string(c.keyword, c.keyword + std::char_traits<char16_t>::length(c.keyword))
                                        << " as type " << c.type);
      ReadResult r = readOne(config, c.keyword, c.type);
      if (!c.ok) {
        EXPECT_EQ(r.status, NDIS_STATUS_FAILURE);
        EXPECT_FALSE(r.parameter);
        continue;
      }
      ASSERT_EQ(r.status, NDIS_STATUS_SUCCESS);
      ASSERT_TRUE(r.parameter);
      EXPECT_EQ(r.type, c.type);
      if (c.type == Int || c.type == Hex) {
        EXPECT_EQ(r.integer, c.integer);
      } else {
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(r.maximumLength, (c.text.size() + 1) * sizeof(WCHAR));
      }
    }
    ReadResult binary = readOne(config, u"Keys", Bin);
    EXPECT_EQ(binary.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(binary.bytes, (std::vector<std::uint8_t>{0x00, 0x1A, 0xFF, 0x5C}));
  });
  EXPECT_TRUE(host_.findings().empty());
}

TEST_F(Configuration, ParametersStayValidUntilTheHandleIsClosed) {
  setText("SSID", u"home");
  setText("StationName", u"Client");
  withConfiguration([&](NDIS_HANDLE config) {
    NDIS_STRING name;
    NDIS_STATUS status;
    PNDIS_CONFIGURATION_PARAMETER first = nullptr, second = nullptr, again = nullptr;
    NdisInitUnicodeString(&name, u"SSID");
    NdisReadConfiguration(&status, &first, config, &name, NdisParameterString);
    NdisInitUnicodeString(&name, u"StationName");
    NdisReadConfiguration(&status, &second, config, &name, NdisParameterString);
    NdisInitUnicodeString(&name, u"SSID");
    NdisReadConfiguration(&status, &again, config, &name, NdisParameterString);
    ASSERT_TRUE(first && second && again);
    EXPECT_NE(first, again);
    auto text = [](PNDIS_CONFIGURATION_PARAMETER p) {
      return std::u16string(p->ParameterData.StringData.Buffer, p->ParameterData.StringData.Length / 2);
    };
    EXPECT_EQ(text(first), u"home");
    EXPECT_EQ(text(second), u"Client");
    EXPECT_EQ(text(again), u"home");
    // Terminated, as a 16-bit string a miniport might hand to a string function.
    EXPECT_EQ(first->ParameterData.StringData.Buffer[4], u'\0');
  });
}

TEST_F(Configuration, MissingKeyFailsToOpen) {
  store_.deleteKey("Comm\\TestCard1");
  load();
  auto r = host_.initializeAdapter(kInstance);
  EXPECT_EQ(r.status, NDIS_STATUS_FAILURE);
  ASSERT_EQ(host_.errorLog().size(), 1u);
  EXPECT_EQ(host_.errorLog()[0].code, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION);
  EXPECT_EQ(host_.errorLog()[0].values, (std::vector<ULONG>{23}));
  EXPECT_EQ(host_.memoryHeld(), 0u);
  EXPECT_TRUE(host_.findings().empty());
}

TEST_F(Configuration, InstanceReadsOnlyItsOwnKey) {
  setDword("IoBaseAddress", 0x300, "TestCard2");
  setDword("InterruptNumber", 9, "TestCard2");
  setDword("Only2", 7, "TestCard2");
  ReadResult fromOne;
  withConfiguration([&](NDIS_HANDLE config) { fromOne = readOne(config, u"Only2", NdisParameterInteger); });
  EXPECT_EQ(fromOne.status, NDIS_STATUS_FAILURE);
}

TEST_F(Configuration, NamedFailuresOfOpeningAndOfKeywordReads) {
  setDword("Value", 5);
  std::vector<NDIS_STATUS> seen;
  host_.failKeyword("value", 2);
  host_.failNext(Call::ReadConfiguration, 4, NDIS_STATUS_RESOURCES);
  withConfiguration([&](NDIS_HANDLE config) {
    for (int i = 0; i < 5; ++i) seen.push_back(readOne(config, u"VALUE", NdisParameterInteger).status);
  });
  // Reads 1..5 of "Value": the keyword rule fires on the 2nd, the any-keyword rule on the 4th.
  EXPECT_EQ(seen, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_FAILURE, NDIS_STATUS_SUCCESS,
                                            NDIS_STATUS_RESOURCES, NDIS_STATUS_SUCCESS}));
}

TEST_F(Configuration, KeywordFailureReachesTheMiniport) {
  load();
  host_.failKeyword("InterruptNumber");
  auto r = host_.initializeAdapter(kInstance);
  EXPECT_EQ(r.status, NDIS_STATUS_FAILURE);
  ASSERT_EQ(host_.errorLog().size(), 1u);
  EXPECT_EQ(host_.errorLog()[0].code, NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER);
  EXPECT_TRUE(host_.findings().empty());
  // One failure only: the next start reads it.
  EXPECT_EQ(host_.initializeAdapter(kInstance).status, NDIS_STATUS_SUCCESS);
}

TEST_F(Configuration, OpenFailureIsNamedToo) {
  load();
  host_.failNext(Call::OpenConfiguration);
  EXPECT_EQ(host_.initializeAdapter(kInstance).status, NDIS_STATUS_FAILURE);
  ASSERT_EQ(host_.errorLog().size(), 1u);
  EXPECT_EQ(host_.errorLog()[0].values, (std::vector<ULONG>{23}));
}

TEST_F(Configuration, ContextIsOnlyGoodDuringInitialize) {
  NDIS_HANDLE kept = nullptr;
  script.duringInitialize = [&](NDIS_HANDLE context) { kept = context; };
  start();
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  NDIS_HANDLE config = reinterpret_cast<NDIS_HANDLE>(1);
  script.onEntry = [&](const std::string &entry, TestAdapter *) {
    if (entry == "Query") NdisOpenConfiguration(&status, &config, kept);
  };
  std::uint8_t buffer[4];
  host_.findAdapter(kInstance)->queryInformation(1, buffer);
  EXPECT_EQ(status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(config, nullptr);
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_NE(host_.findings()[0].find("outside MiniportInitialize"), std::string::npos);
}

TEST_F(Configuration, HandleLeftOpenByInitializeIsReportedAndClosed) {
  script.duringInitialize = [&](NDIS_HANDLE context) {
    NDIS_STATUS status;
    NDIS_HANDLE config;
    NdisOpenConfiguration(&status, &config, context);
  };
  start();
  ASSERT_EQ(host_.findings().size(), 1u);
  EXPECT_NE(host_.findings()[0].find("configuration handle still open"), std::string::npos);
}

TEST_F(Configuration, ClosedHandleIsNoLongerUsable) {
  NDIS_HANDLE closed = nullptr;
  withConfiguration([&](NDIS_HANDLE config) { closed = config; });
  teskel::ndis::ScopedHost scoped(host_);
  EXPECT_DEATH(readOne(closed, u"IoBaseAddress", NdisParameterInteger), "not an open configuration handle");
  EXPECT_DEATH(NdisCloseConfiguration(closed), "not an open configuration handle");
}

TEST(AnsiConversion, KeepsTheTerminatorInsideTheCapacity) {
  struct Case {
    std::u16string text;
    USHORT capacity;
    NDIS_STATUS status;
    std::string converted;
  };
  const Case cases[] = {
      {u"abc", 8, NDIS_STATUS_SUCCESS, "abc"},
      {u"abcdefg", 8, NDIS_STATUS_SUCCESS, "abcdefg"},
      {u"abcdefgh", 8, NDIS_STATUS_SUCCESS, "abcdefg"},
      {u"abcdefghijkl", 5, NDIS_STATUS_SUCCESS, "abcd"},
      {u"abc", 1, NDIS_STATUS_SUCCESS, ""},
      {u"", 4, NDIS_STATUS_SUCCESS, ""},
      {u"a\u00e9\u20acb", 8, NDIS_STATUS_SUCCESS, "a\xe9?b"},
      {u"abc", 0, NDIS_STATUS_BUFFER_TOO_SHORT, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.converted + " in " + std::to_string(c.capacity));
    char storage[16];
    std::memset(storage, 'X', sizeof storage);
    NDIS_STRING source{static_cast<USHORT>(c.text.size() * 2), static_cast<USHORT>(c.text.size() * 2 + 2),
                       const_cast<PWSTR>(c.text.data())};
    ANSI_STRING dest{0, c.capacity, storage};
    EXPECT_EQ(NdisUnicodeStringToAnsiString(&dest, &source), c.status);
    EXPECT_EQ(dest.Length, c.converted.size());
    EXPECT_EQ(std::string(storage, dest.Length), c.converted);
    if (c.capacity > 0) {
      EXPECT_EQ(storage[dest.Length], '\0');
    }
    // Nothing is written past the capacity.
    for (std::size_t i = c.capacity; i < sizeof storage; ++i) EXPECT_EQ(storage[i], 'X') << i;
  }
}

TEST(AnsiConversion, InitUnicodeStringCountsBytesWithoutTerminator) {
  NDIS_STRING s;
  NdisInitUnicodeString(&s, u"Teskel");
  EXPECT_EQ(s.Length, 12);
  EXPECT_EQ(s.MaximumLength, 14);
  NdisInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.Buffer, nullptr);
}

}  // namespace
}  // namespace ndistest
