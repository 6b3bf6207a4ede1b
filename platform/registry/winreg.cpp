// The handheld's Win32 registry calls, served from this process's current registry store.
// An open key is a small object holding the key's path; the store is asked afresh on every call,
// so another process's changes show at once.
#include <windows.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "teskel/coredll.h"
#include "teskel/registry_store.h"

struct HKEY__ {
  std::string path;  // relative to HKEY_LOCAL_MACHINE, as it was opened
};

namespace {

using teskel::registry::FailOp;
using teskel::registry::Store;

std::mutex g_handlesMutex;
std::map<HKEY, std::unique_ptr<HKEY__>> g_handles;

bool isPredefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS;
}

// The path behind a key handle: the root for HKEY_LOCAL_MACHINE, nothing for an unknown handle
// (or another root, which the handheld does not keep).
std::optional<std::string> pathOf(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return std::string();
  std::lock_guard lock(g_handlesMutex);
  auto it = g_handles.find(key);
  if (it == g_handles.end()) return std::nullopt;
  return it->second->path;
}

HKEY openHandle(std::string path) {
  auto object = std::make_unique<HKEY__>();
  object->path = std::move(path);
  HKEY key = object.get();
  std::lock_guard lock(g_handlesMutex);
  g_handles.emplace(key, std::move(object));
  return key;
}

std::string text(LPCWSTR s) { return s ? teskel::coredll::toUtf8(s) : std::string(); }

// `base` + '\' + `sub`, or nothing when the result is not a valid path. A subkey name is taken
// literally: "HKLM\\x" under the root is a key named HKLM.
std::optional<std::string> childPath(const std::string &base, LPCWSTR sub) {
  std::string path = base;
  std::string tail = text(sub);
  while (!tail.empty() && tail.front() == '\\') tail.erase(0, 1);
  while (!tail.empty() && tail.back() == '\\') tail.pop_back();
  if (!tail.empty()) path = path.empty() ? tail : path + '\\' + tail;
  if (!teskel::registry::isValidKeyPath(path)) return std::nullopt;
  return path;
}

// Store failures become the error code of the call instead of an exception through C code.
template <class Fn>
LONG guarded(LONG onError, Fn &&fn) {
  try {
    return fn();
  } catch (const std::bad_alloc &) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (const std::exception &) {
    return onError;
  }
}

// The tail shared by the query and the enumeration: type, then the bytes when they fit, or the
// size needed.
LONG copyValue(const teskel::registry::Value &value, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (type) *type = value.type;
  auto needed = static_cast<DWORD>(value.data.size());
  if (!data) {
    if (size) *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (needed) std::memcpy(data, value.data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

// Copies a name into a caller's buffer of *count characters (terminator included).
LONG copyName(const std::string &name, LPWSTR buffer, LPDWORD count) {
  std::u16string wide = teskel::coredll::fromUtf8(name);
  if (wide.size() + 1 > *count) {
    *count = static_cast<DWORD>(wide.size());
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  *count = static_cast<DWORD>(wide.size());
  return ERROR_SUCCESS;
}

bool keyGone(Store &store, const std::string &path) { return !path.empty() && !store.keyExists(path); }

}  // namespace

extern "C" {

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  auto base = pathOf(hKey);
  if (!base) return ERROR_INVALID_HANDLE;
  Store *store = teskel::registry::currentStore();
  if (!store) return ERROR_BADDB;
  auto path = childPath(*base, lpSubKey);
  if (!path) return ERROR_INVALID_PARAMETER;
  if (store->shouldFail(FailOp::CreateKey, *path)) return ERROR_CANTWRITE;
  return guarded(ERROR_CANTWRITE, [&]() -> LONG {
    LONG result = ERROR_SUCCESS;
    bool created = false;
    // One transaction for the look and the change, so that a call costs the store one.
    store->batch([&] {
      if (keyGone(*store, *base)) {
        result = ERROR_KEY_DELETED;
        return;
      }
      // A name the registry cannot keep (control characters, over 255 characters, over 512
      // levels) is the caller's mistake, not a failing store; a key that has one already opens.
      if (!store->keyExists(*path)) {
        try {
          teskel::registry::checkKeyPath(*path);
        } catch (const teskel::registry::Error &) {
          result = ERROR_INVALID_PARAMETER;
          return;
        }
      }
      created = store->createKey(*path);
    });
    if (result != ERROR_SUCCESS) return result;
    *phkResult = openHandle(*path);
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
}

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  auto base = pathOf(hKey);
  if (!base) return ERROR_INVALID_HANDLE;
  Store *store = teskel::registry::currentStore();
  if (!store) return ERROR_BADDB;
  auto path = childPath(*base, lpSubKey);
  if (!path) return ERROR_INVALID_PARAMETER;
  if (store->shouldFail(FailOp::OpenKey, *path)) return ERROR_CANTREAD;
  return guarded(ERROR_CANTREAD, [&]() -> LONG {
    if (keyGone(*store, *path)) return ERROR_FILE_NOT_FOUND;
    *phkResult = openHandle(*path);
    return ERROR_SUCCESS;
  });
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  auto path = pathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  Store *store = teskel::registry::currentStore();
  if (!store) return ERROR_BADDB;
  std::string name = text(lpValueName);
  if (store->shouldFail(FailOp::QueryValue, *path, name)) return ERROR_CANTREAD;
  return guarded(ERROR_CANTREAD, [&]() -> LONG {
    auto value = store->getValue(*path, name);
    if (!value) return ERROR_FILE_NOT_FOUND;
    return copyValue(*value, lpType, lpData, lpcbData);
  });
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData, DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  auto path = pathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  Store *store = teskel::registry::currentStore();
  if (!store) return ERROR_BADDB;
  std::string name = text(lpValueName);
  if (store->shouldFail(FailOp::SetValue, *path, name)) return ERROR_CANTWRITE;
  return guarded(ERROR_CANTWRITE, [&]() -> LONG {
    std::vector<std::uint8_t> data(lpData, lpData + cbData);
    LONG result = ERROR_SUCCESS;
    // The key may have been deleted by another process since it was opened; writing through the
    // stale handle must not bring it back.
    store->batch([&] {
      if (keyGone(*store, *path))
        result = ERROR_KEY_DELETED;
      else
        store->setValue(*path, name, dwType, data);
    });
    return result;
  });
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  auto path = pathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  Store *store = teskel::registry::currentStore();
  if (!store) return ERROR_BADDB;
  std::string name = text(lpValueName);
  if (store->shouldFail(FailOp::DeleteValue, *path, name)) return ERROR_CANTWRITE;
  return guarded(ERROR_CANTWRITE,
                 [&]() -> LONG { return store->deleteValue(*path, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND; });
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  auto base = pathOf(hKey);
  if (!base) return ERROR_INVALID_HANDLE;
  Store *store = teskel::registry::currentStore();
  if (!store) return ERROR_BADDB;
  auto path = childPath(*base, lpSubKey);
  if (!path) return ERROR_INVALID_PARAMETER;
  if (path->empty()) return ERROR_ACCESS_DENIED;  // the root itself
  if (store->shouldFail(FailOp::DeleteKey, *path)) return ERROR_CANTWRITE;
  return guarded(ERROR_CANTWRITE,
                 [&]() -> LONG { return store->deleteKey(*path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND; });
}

LONG RegCloseKey(HKEY hKey) {
  if (isPredefined(hKey)) return ERROR_SUCCESS;
  std::lock_guard lock(g_handlesMutex);
  return g_handles.erase(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcName, LPDWORD, LPWSTR lpClass,
                   LPDWORD lpcClass, PFILETIME) {
  if (!lpName || !lpcName) return ERROR_INVALID_PARAMETER;
  auto path = pathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  Store *store = teskel::registry::currentStore();
  if (!store) return ERROR_BADDB;
  return guarded(ERROR_CANTREAD, [&]() -> LONG {
    if (keyGone(*store, *path)) return ERROR_KEY_DELETED;
    auto names = store->subkeys(*path);
    if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
    LONG result = copyName(names[dwIndex], lpName, lpcName);
    if (result != ERROR_SUCCESS) return result;
    // Keys have no class here.
    if (lpClass && lpcClass && *lpcClass > 0) lpClass[0] = 0;
    if (lpcClass) *lpcClass = 0;
    return ERROR_SUCCESS;
  });
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcValueName, LPDWORD, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  auto path = pathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  Store *store = teskel::registry::currentStore();
  if (!store) return ERROR_BADDB;
  return guarded(ERROR_CANTREAD, [&]() -> LONG {
    if (keyGone(*store, *path)) return ERROR_KEY_DELETED;
    auto values = store->values(*path);
    if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
    const auto &value = values[dwIndex];
    if (store->shouldFail(FailOp::QueryValue, *path, value.name)) return ERROR_CANTREAD;
    LONG result = copyName(value.name, lpValueName, lpcValueName);
    if (result != ERROR_SUCCESS) return result;
    return copyValue(value, lpType, lpData, lpcbData);
  });
}

}  // extern "C"
