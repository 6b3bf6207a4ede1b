// The shell around a program: tray icons, modal message boxes, debug output, icons and bitmaps,
// and the published list of top-level windows through which FindWindowW sees other processes.
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "state.h"

namespace teskel::ui {

namespace fs = std::filesystem;

namespace {

std::string escapeField(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

std::string unescapeField(const std::string &s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char n = s[++i];
      out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string lockName(pid_t pid) { return "." + std::to_string(static_cast<long>(pid)) + ".lock"; }

// A publisher holds its lock file for as long as it runs. The process id alone can't tell: it may
// belong to another program by now.
bool publisherAlive(const fs::path &dir, pid_t pid) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  int fd = open((dir / lockName(pid)).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

struct Published {
  pid_t pid = 0;
  std::u16string cls;
  std::u16string title;
};

std::optional<Published> readPublished(const fs::path &file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  Published p;
  std::string line;
  bool havePid = false;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = unescapeField(line.substr(eq + 1));
    if (key == "pid") {
      try {
        p.pid = static_cast<pid_t>(std::stol(value));
        havePid = true;
      } catch (...) {
        return std::nullopt;
      }
    } else if (key == "class") {
      p.cls = coredll::fromUtf8(value);
    } else if (key == "title") {
      p.title = coredll::fromUtf8(value);
    }
  }
  if (!havePid) return std::nullopt;
  return p;
}

char16_t upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }
bool sameNoCase(const std::u16string &a, const std::u16string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return upper(x) == upper(y);
         });
}

std::string fileNameFor(HWND h) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%ld-%lx", static_cast<long>(getpid()),
                static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(h)));
  return buf;
}

// The per-user folder must be ours alone: made with owner-only rights (whatever the umask),
// closed to others when they could use it, and refused when somebody else owns it or it is a link.
void ensurePrivateDir(const fs::path &dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot create " + dir.string() + ": " + std::strerror(errno));
  struct stat st{};
  if (lstat(dir.c_str(), &st) != 0) throw std::runtime_error("cannot inspect " + dir.string() + ": " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid())
    throw std::runtime_error(dir.string() + " is not a folder of this user");
  if ((st.st_mode & 0777) != 0700 && chmod(dir.c_str(), 0700) != 0)
    throw std::runtime_error("cannot make " + dir.string() + " private: " + std::strerror(errno));
}

// This user's runtime folder: in $XDG_RUNTIME_DIR, else in /tmp; a name in /tmp that somebody
// else took first (to keep the program from starting) gives way to one in the user's home.
fs::path userRuntimeDir() {
  const std::string name = "teskel-" + std::to_string(getuid());
  std::vector<fs::path> candidates;
  const char *xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg == '/' && fs::is_directory(xdg)) candidates.push_back(fs::path(xdg) / name);
  candidates.push_back(fs::path("/tmp") / name);
  const char *home = std::getenv("HOME");
  if (home && *home == '/') candidates.push_back(fs::path(home) / ".cache" / name);
  std::string refused;
  for (const auto &dir : candidates) {
    try {
      if (dir.parent_path().filename() == ".cache") fs::create_directories(dir.parent_path());
      ensurePrivateDir(dir);
      return dir;
    } catch (const std::exception &e) {
      refused = e.what();
    }
  }
  throw std::runtime_error("no runtime folder of this user: " + refused);
}

}  // namespace

std::string rootKey(const fs::path &root) {
  std::error_code ec;
  fs::path canon = fs::weakly_canonical(root, ec);
  std::string text = (ec ? fs::absolute(root) : canon).lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

fs::path defaultWindowsDir(const fs::path &root) {
  fs::path perRoot = userRuntimeDir() / rootKey(root);
  ensurePrivateDir(perRoot);
  fs::path windows = perRoot / "windows";
  ensurePrivateDir(windows);
  return windows;
}

void openPublishing(State &s) {
  fs::path lock = s.windowsDir / lockName(getpid());
  s.lockFd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // Another program on this root may have just removed the folder on its way out.
  for (int again = 0; s.lockFd < 0 && errno == ENOENT && s.windowsDirPerRoot && again < 3; ++again) {
    s.windowsDir = defaultWindowsDir(s.options.root);
    s.lockFd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  }
  if (s.lockFd < 0 || flock(s.lockFd, LOCK_EX | LOCK_NB) != 0)
    throw std::runtime_error("cannot lock " + lock.string() + ": " + std::strerror(errno));
  s.publisherPid = getpid();
}

void closePublishing(State &s) {
  // A child made by fork() has a copy of the session but publishes nothing of its parent's.
  if (s.lockFd < 0 || s.publisherPid != getpid()) return;
  for (auto &[k, w] : s.windows)
    if (w->published) unpublishWindow(s, *w);
  std::error_code ec;
  fs::remove(s.windowsDir / lockName(getpid()), ec);
  close(s.lockFd);
  s.lockFd = -1;
  // The root's folders go with the last program that published there (removing a folder that
  // still holds another's entries fails, and leaves them).
  if (s.windowsDirPerRoot && rmdir(s.windowsDir.c_str()) == 0) rmdir(s.windowsDir.parent_path().c_str());
}

void publishWindow(State &s, Window &w) {
  if (s.windowsDir.empty() || s.publisherPid != getpid()) return;
  fs::path file = s.windowsDir / fileNameFor(w.handle);
  fs::path tmp = s.windowsDir / ("." + fileNameFor(w.handle) + ".tmp");
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << "pid=" << getpid() << "\n"
        << "class=" << escapeField(coredll::toUtf8(w.cls->name)) << "\n"
        << "title=" << escapeField(coredll::toUtf8(w.text)) << "\n";
    if (!out) return;
  }
  std::error_code ec;
  fs::rename(tmp, file, ec);  // whole entries only: a reader never sees half of one
  if (!ec) w.published = true;
}

void unpublishWindow(State &s, Window &w) {
  std::error_code ec;
  if (!s.windowsDir.empty() && s.publisherPid == getpid()) fs::remove(s.windowsDir / fileNameFor(w.handle), ec);
  w.published = false;
}

HWND findWindow(State &s, LPCWSTR cls, LPCWSTR title) {
  std::shared_ptr<WindowClass> wantClass;
  if (cls) {
    wantClass = findClass(s, cls, nullptr);
    if (!wantClass && IS_INTRESOURCE(cls)) return nullptr;
  }
  for (HWND t : s.topOrder) {
    Window *w = s.get(t);
    if (!w) continue;
    if (cls && !(IS_INTRESOURCE(cls) ? w->cls == wantClass : sameNoCase(w->cls->name, cls))) continue;
    if (title && !sameNoCase(w->text, title)) continue;
    return t;
  }
  if (s.windowsDir.empty() || (cls && IS_INTRESOURCE(cls))) return nullptr;
  std::error_code ec;
  std::vector<fs::path> files;
  for (const auto &e : fs::directory_iterator(s.windowsDir, ec)) {
    std::string name = e.path().filename().string();
    if (!name.empty() && name[0] != '.') files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path &f : files) {
    auto p = readPublished(f);
    if (!p || p->pid == getpid()) continue;
    if (!publisherAlive(s.windowsDir, p->pid)) {
      fs::remove(f, ec);  // left behind by a process that died
      continue;
    }
    if (cls && !sameNoCase(p->cls, cls)) continue;
    if (title && !sameNoCase(p->title, title)) continue;
    std::string key = f.filename().string();
    for (auto &[h, who] : s.foreign)
      if (who.second == key) return reinterpret_cast<HWND>(h);
    std::uintptr_t h = s.newHandle();
    s.foreign[h] = {p->pid, key};
    return reinterpret_cast<HWND>(h);
  }
  return nullptr;
}

bool notifyIcon(State &s, DWORD op, const NOTIFYICONDATAW *data) {
  if (!data || (data->cbSize != kDeviceNotifyIconSize && data->cbSize < sizeof(NOTIFYICONDATAW))) return false;
  auto it = std::find_if(s.tray.begin(), s.tray.end(),
                         [&](const TrayIcon &t) { return t.window == data->hWnd && t.id == data->uID; });
  auto apply = [&](TrayIcon &t) {
    if (data->uFlags & NIF_MESSAGE) {
      t.callbackMessage = data->uCallbackMessage;
      t.flags |= NIF_MESSAGE;
    }
    if (data->uFlags & NIF_ICON) {
      t.icon = data->hIcon;
      t.flags |= NIF_ICON;
    }
    if (data->uFlags & NIF_TIP) {
      const WCHAR *end = std::find(data->szTip, data->szTip + 64, u'\0');
      t.tip.assign(data->szTip, end);
      t.flags |= NIF_TIP;
    }
  };
  switch (op) {
    case NIM_ADD: {
      if (it != s.tray.end() || !s.get(data->hWnd)) return false;
      TrayIcon t;
      t.window = data->hWnd;
      t.id = data->uID;
      apply(t);
      s.tray.push_back(t);
      return true;
    }
    case NIM_MODIFY:
      if (it == s.tray.end()) return false;
      apply(*it);
      return true;
    case NIM_DELETE:
      if (it == s.tray.end()) return false;
      s.tray.erase(it);
      return true;
    default:
      return false;
  }
}

int messageBox(State &s, const coredll::MessageBoxRequest &req) {
  MessageBoxState box;
  box.type = req.type;
  box.view.caption = coredll::fromUtf8(req.caption.empty() ? std::string("Error") : req.caption);
  box.view.text = coredll::fromUtf8(req.text);
  switch (req.type & 0xF) {
    case MB_OKCANCEL: box.view.buttons = {IDOK, IDCANCEL}; break;
    case MB_ABORTRETRYIGNORE: box.view.buttons = {IDABORT, IDRETRY, IDIGNORE}; break;
    case MB_YESNOCANCEL: box.view.buttons = {IDYES, IDNO, IDCANCEL}; break;
    case MB_YESNO: box.view.buttons = {IDYES, IDNO}; break;
    case MB_RETRYCANCEL: box.view.buttons = {IDRETRY, IDCANCEL}; break;
    default: box.view.buttons = {IDOK}; break;
  }
  int def = static_cast<int>((req.type >> 8) & 0xF);  // MB_DEFBUTTON2 = 0x100 ...
  box.view.focus = std::min(def, static_cast<int>(box.view.buttons.size()) - 1);
  box.owner = static_cast<HWND>(req.owner);
  if (s.get(box.owner)) {
    HWND top = topLevelOf(s, box.owner);
    if (Window *t = s.get(top); t && t->enabledSelf()) {
      enableWindow(s, top, false);
      box.disabledOwner = top;
    }
  }
  s.boxes.push_back(&box);
  if (s.renderer) s.renderer->messageBoxOpened(box.view);
  while (!box.done) {
    MSG m;
    nextMessage(s, m, nullptr, 0, 0, true, true);
    if (m.message == WM_QUIT) {
      // The box ends and the quit message stays for the program's own loop.
      s.quitPending = true;
      s.quitCode = static_cast<int>(m.wParam);
      auto &b = box.view.buttons;
      box.result = std::find(b.begin(), b.end(), IDCANCEL) != b.end() ? IDCANCEL : b[static_cast<std::size_t>(box.view.focus)];
      break;
    }
    dispatch(s, m);
  }
  std::erase(s.boxes, &box);
  if (box.disabledOwner && s.get(box.disabledOwner)) enableWindow(s, box.disabledOwner, true);
  if (s.renderer) s.renderer->messageBoxClosed(box.result);
  return box.result;
}

void debugOutput(State &s, const std::u16string &text) {
  if (!s.options.root.empty()) {
    // Like every file in the root folder, its user's alone whatever the umask.
    fs::path log = s.options.root / "debug.log";
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      std::string bytes = coredll::toUtf8(text);
      for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      close(fd);
    }
  }
  if (s.renderer) s.renderer->debugOutput(text);
}

HICON loadIcon(State &s, HINSTANCE inst, LPCWSTR name) {
  auto id = resIdFromPointer(name);
  if (!id) return nullptr;
  // Icons are shared: loading the same one twice gives the same handle.
  for (auto &[h, obj] : s.gdi)
    if (obj.kind == GdiKind::Icon && obj.module == inst && obj.name && *obj.name == *id) return reinterpret_cast<HICON>(h);
  GdiObject obj;
  obj.kind = GdiKind::Icon;
  obj.module = inst;
  obj.name = id;
  if (inst) {
    const Module *m = s.moduleOf(inst);
    if (!m || !m->hasIcon(*id)) return nullptr;
    try {
      obj.image = m->icon(*id, 16);
    } catch (const ResourceError &) {
      return nullptr;
    }
  } else if (!id->isOrdinal() || *id->ordinal < 32512 || *id->ordinal > 32517) {
    return nullptr;  // the system icons are IDI_APPLICATION ... IDI_WINLOGO
  }
  std::uintptr_t h = s.newHandle();
  s.gdi.emplace(h, std::move(obj));
  return reinterpret_cast<HICON>(h);
}

HBITMAP loadBitmap(State &s, HINSTANCE inst, LPCWSTR name) {
  auto id = resIdFromPointer(name);
  const Module *m = s.moduleOf(inst);
  if (!id || !m || !m->hasBitmap(*id)) return nullptr;
  GdiObject obj;
  obj.kind = GdiKind::Bitmap;
  obj.module = inst;
  obj.name = id;
  try {
    obj.image = m->bitmap(*id);
  } catch (const ResourceError &) {
    return nullptr;
  }
  std::uintptr_t h = s.newHandle();
  s.gdi.emplace(h, std::move(obj));
  return reinterpret_cast<HBITMAP>(h);
}

}  // namespace teskel::ui
