// The NDIS configuration reader over the registry store: the values of an adapter instance's
// Comm\<instance>\Parms key, converted to the parameter type the miniport asks for.
#include <winreg.h>

#include <cstring>

#include "host_internal.h"

using namespace teskel::ndis;

namespace {

std::u16string fromCounted(const NDIS_STRING *s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

// Keywords and value names are plain ASCII in practice; anything else cannot name a value.
std::optional<std::string> keywordName(const std::u16string &s) {
  std::string out;
  for (char16_t c : s) {
    if (c == 0 || c > 0x7F) return std::nullopt;
    out.push_back(static_cast<char>(c));
  }
  return out;
}

std::u16string textOf(const std::vector<std::uint8_t> &data) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

bool isSpace(char16_t c) { return c == u' ' || c == u'\t'; }

// Decimal (with an optional sign) or hexadecimal (with an optional 0x) text, surrounding blanks
// allowed; anything else, or a value beyond 32 bits, is not an integer.
std::optional<ULONG> parseInteger(std::u16string_view s, bool hex) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  bool negative = false;
  if (!hex && !s.empty() && (s.front() == u'-' || s.front() == u'+')) {
    negative = s.front() == u'-';
    s.remove_prefix(1);
  }
  if (hex && s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) s.remove_prefix(2);
  if (s.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const unsigned base = hex ? 16 : 10;
  for (char16_t c : s) {
    unsigned digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (hex && c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (hex && c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  if (negative) {
    if (value > 0x80000000ull) return std::nullopt;
    return static_cast<ULONG>(0u - static_cast<std::uint32_t>(value));
  }
  return static_cast<ULONG>(value);
}

}  // namespace

std::optional<ULONG> teskel::ndis::configurationInteger(const teskel::registry::Value &value, bool hex) {
  if (value.type == REG_DWORD) {
    if (value.data.size() != 4) return std::nullopt;
    return static_cast<ULONG>(value.data[0]) | (value.data[1] << 8) | (value.data[2] << 16) |
           (static_cast<ULONG>(value.data[3]) << 24);
  }
  if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return std::nullopt;
  std::u16string text = textOf(value.data);
  return parseInteger(text.substr(0, text.find(u'\0')), hex);
}

namespace {

bool setText(ConfigParameter &p, std::u16string text) {
  if (text.size() * sizeof(WCHAR) + sizeof(WCHAR) > 0xFFFF) return false;
  p.text = std::move(text);
  auto &s = p.parameter.ParameterData.StringData;
  s.Buffer = p.text.data();
  s.Length = static_cast<USHORT>(p.text.size() * sizeof(WCHAR));
  s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(WCHAR));
  return true;
}

// Fills `p` with `value` as `type`; false when the value cannot be presented that way.
bool convert(ConfigParameter &p, const teskel::registry::Value &value, NDIS_PARAMETER_TYPE type) {
  p.parameter.ParameterType = type;
  const bool isText = value.type == REG_SZ || value.type == REG_EXPAND_SZ;
  switch (type) {
    case NdisParameterInteger:
    case NdisParameterHexInteger: {
      auto parsed = teskel::ndis::configurationInteger(value, type == NdisParameterHexInteger);
      if (!parsed) return false;
      p.parameter.ParameterData.IntegerData = *parsed;
      return true;
    }
    case NdisParameterString: {
      if (isText) {
        std::u16string text = textOf(value.data);
        return setText(p, text.substr(0, text.find(u'\0')));
      }
      if (value.type == REG_BINARY) {
        // Binary data read as text: two upper-case hexadecimal digits per byte, in order.
        static const char16_t digits[] = u"0123456789ABCDEF";
        std::u16string text;
        for (auto b : value.data) {
          text.push_back(digits[b >> 4]);
          text.push_back(digits[b & 0x0F]);
        }
        return setText(p, std::move(text));
      }
      return false;
    }
    case NdisParameterMultiString: {
      if (value.type != REG_MULTI_SZ) return false;
      // Each string with its terminator; the list's closing terminator is not counted.
      std::u16string text = textOf(value.data);
      while (text.size() >= 2 && text[text.size() - 1] == 0 && text[text.size() - 2] == 0) text.pop_back();
      if (text == std::u16string(1, u'\0')) text.clear();
      return setText(p, std::move(text));
    }
    case NdisParameterBinary: {
      if (value.type != REG_BINARY || value.data.size() > 0xFFFF) return false;
      p.bytes = value.data;
      p.parameter.ParameterData.BinaryData.Length = static_cast<USHORT>(p.bytes.size());
      p.parameter.ParameterData.BinaryData.Buffer = p.bytes.data();
      return true;
    }
  }
  return false;
}

ConfigHandle &configHandle(Host::Impl &host, NDIS_HANDLE handle, const char *call) {
  auto it = host.configs.find(static_cast<const ConfigHandle *>(handle));
  if (it == host.configs.end()) {
    verifierAbort(format("%s with %s, which is not an open configuration handle", call, hexPointer(handle).c_str()));
  }
  return *it->second;
}

}  // namespace

extern "C" {

VOID NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext) {
  auto &host = currentHost("NdisOpenConfiguration");
  *ConfigurationHandle = nullptr;
  Adapter::Impl *a = nullptr;
  for (auto &adapter : host.adapters) {
    if (&adapter->impl().configContext == WrapperConfigurationContext) a = &adapter->impl();
  }
  if (!a) {
    verifierAbort(format("NdisOpenConfiguration with %s, which is not a WrapperConfigurationContext of this host",
                         hexPointer(WrapperConfigurationContext).c_str()));
  }
  // The context is only good while MiniportInitialize runs.
  if (a->state != Adapter::State::Initializing) {
    host.report(format("%s: NdisOpenConfiguration outside MiniportInitialize", a->name.c_str()));
    *Status = NDIS_STATUS_FAILURE;
    return;
  }
  if (auto failed = host.takeFailure(Call::OpenConfiguration)) {
    *Status = *failed;
    return;
  }
  std::string key = "Comm\\" + a->name + "\\Parms";
  try {
    if (!host.store.keyExists(key)) {
      *Status = NDIS_STATUS_FAILURE;
      return;
    }
  } catch (const std::exception &e) {
    host.report(format("%s: registry store: %s", a->name.c_str(), e.what()));
    *Status = NDIS_STATUS_FAILURE;
    return;
  }
  auto handle = std::make_unique<ConfigHandle>();
  handle->adapter = a;
  handle->key = std::move(key);
  *ConfigurationHandle = handle.get();
  host.configs.emplace(handle.get(), std::move(handle));
  *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER *ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword, NDIS_PARAMETER_TYPE ParameterType) {
  auto &host = currentHost("NdisReadConfiguration");
  auto &handle = configHandle(host, ConfigurationHandle, "NdisReadConfiguration");
  *ParameterValue = nullptr;
  *Status = NDIS_STATUS_FAILURE;
  auto keyword = keywordName(fromCounted(Keyword));
  if (!keyword || keyword->empty()) return;
  if (auto failed = host.takeFailure(Call::ReadConfiguration, *keyword)) {
    *Status = *failed;
    return;
  }
  std::optional<teskel::registry::Value> value;
  try {
    value = host.store.getValue(handle.key, *keyword);
  } catch (const std::exception &e) {
    host.report(format("%s: registry store: %s", handle.adapter->name.c_str(), e.what()));
    return;
  }
  if (!value) return;
  auto parameter = std::make_unique<ConfigParameter>();
  if (!convert(*parameter, *value, ParameterType)) return;
  *ParameterValue = &parameter->parameter;
  handle.parameters.push_back(std::move(parameter));
  *Status = NDIS_STATUS_SUCCESS;
}

VOID NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
  auto &host = currentHost("NdisCloseConfiguration");
  configHandle(host, ConfigurationHandle, "NdisCloseConfiguration");
  host.configs.erase(static_cast<const ConfigHandle *>(ConfigurationHandle));
}

VOID NdisInitUnicodeString(PNDIS_STRING Destination, PCWSTR Source) {
  Destination->Buffer = const_cast<PWSTR>(Source);
  std::size_t n = 0;
  if (Source) {
    while (Source[n]) ++n;
  }
  Destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  Destination->MaximumLength = static_cast<USHORT>(Source ? Destination->Length + sizeof(WCHAR) : 0);
}

// Converts into the caller's buffer of MaximumLength bytes. The terminator always fits: at most
// MaximumLength - 1 characters are converted, a zero byte follows them, and Length counts them
// without it. A longer text is cut there and still succeeds, as a fixed-size field expects;
// only a destination with no room at all fails. Characters beyond 8 bits become '?'.
NDIS_STATUS NdisUnicodeStringToAnsiString(PANSI_STRING DestinationString, PNDIS_STRING SourceString) {
  if (!DestinationString || !DestinationString->Buffer || DestinationString->MaximumLength == 0) {
    if (DestinationString) DestinationString->Length = 0;
    return NDIS_STATUS_BUFFER_TOO_SHORT;
  }
  std::u16string text = fromCounted(SourceString);
  std::size_t room = DestinationString->MaximumLength - 1u;
  std::size_t n = text.size() < room ? text.size() : room;
  for (std::size_t i = 0; i < n; ++i) {
    char16_t c = text[i];
    DestinationString->Buffer[i] = static_cast<CHAR>(c <= 0xFF ? c : u'?');
  }
  DestinationString->Buffer[n] = 0;
  DestinationString->Length = static_cast<USHORT>(n);
  return NDIS_STATUS_SUCCESS;
}

}  // extern "C"
