// The session object: start and end of a program's user interface, timers on the event loop's
// clock, and the entry points through which renderers and tests act on it.
#include <algorithm>
#include <iostream>

#include "state.h"

namespace teskel::ui {

namespace {

Session *g_current = nullptr;

void fireTimer(State &s, std::pair<HWND, UINT_PTR> key, Micros due) {
  auto it = s.timers.find(key);
  if (it == s.timers.end()) return;
  // Like the platform's timers these coalesce: one WM_TIMER waits at most per timer.
  if (std::find(s.dueTimers.begin(), s.dueTimers.end(), key) == s.dueTimers.end()) s.dueTimers.push_back(key);
  Micros period = static_cast<Micros>(it->second.period) * 1000;
  Micros next = due + period;
  if (next <= s.loop.now()) next = s.loop.now() + period;  // missed periods are not made up
  it->second.task = s.loop.at(next, [&s, key, next] { fireTimer(s, key, next); });
}

}  // namespace

State *currentState() { return g_current ? &g_current->state() : nullptr; }

UINT_PTR setTimer(State &s, HWND h, UINT_PTR id, UINT ms, TIMERPROC proc) {
  if (h && !s.get(h)) return 0;
  if (!h) {
    // Without a window the id is the platform's choice, unless it names an existing such timer.
    if (!s.timers.count({nullptr, id})) id = s.nextTimerId++;
  }
  ms = std::clamp<UINT>(ms, 10, 0x7FFFFFFF);
  std::pair<HWND, UINT_PTR> key{h, id};
  killTimer(s, h, id);
  Timer t;
  t.window = h;
  t.id = id;
  t.period = ms;
  t.proc = proc;
  Micros due = s.loop.now() + static_cast<Micros>(ms) * 1000;
  State *sp = &s;
  t.task = s.loop.at(due, [sp, key, due] { fireTimer(*sp, key, due); });
  s.timers[key] = t;
  return h ? (id ? id : 1) : id;
}

bool killTimer(State &s, HWND h, UINT_PTR id) {
  auto it = s.timers.find({h, id});
  if (it == s.timers.end()) return false;
  s.loop.cancel(it->second.task);
  s.timers.erase(it);
  std::erase(s.dueTimers, std::make_pair(h, id));
  return true;
}

Session::Session(EventLoop &loop, SessionOptions options)
    : state_(std::make_unique<State>(*this, loop, std::move(options))) {
  if (g_current) throw std::logic_error("a UI session is already running in this process");
  State &s = *state_;
  registerSystemClasses(s);
  if (s.options.publishWindows) {
    if (!s.options.runtimeDir.empty()) {
      s.windowsDir = s.options.runtimeDir / "windows";
      std::filesystem::create_directories(s.windowsDir);
    } else {
      s.windowsDir = defaultWindowsDir(s.options.root);
      s.windowsDirPerRoot = true;
    }
    openPublishing(s);
  }
  s.previousBoxHandler = coredll::setMessageBoxHandler(
      [this](const coredll::MessageBoxRequest &req) { return ui::messageBox(*state_, req); });
  s.previousDebugHandler =
      coredll::setDebugOutputHandler([this](const std::u16string &text) { ui::debugOutput(*state_, text); });
  g_current = this;
}

Session::~Session() {
  State &s = *state_;
  // Windows left at exit go without messages: the program's code is on its way out.
  for (auto &[k, t] : s.timers) s.loop.cancel(t.task);
  s.timers.clear();
  closePublishing(s);
  coredll::setMessageBoxHandler(s.previousBoxHandler);
  coredll::setDebugOutputHandler(s.previousDebugHandler);
  if (g_current == this) g_current = nullptr;
}

Session *Session::current() { return g_current; }
EventLoop &Session::loop() { return state_->loop; }
void Session::setRenderer(Renderer *renderer) {
  // A new source of input starts afresh.
  state_->renderer = renderer;
  state_->inputEnded = false;
}
Renderer *Session::renderer() const { return state_->renderer; }
State &Session::state() { return *state_; }
const State &Session::state() const { return *state_; }
std::filesystem::path Session::debugLogPath() const {
  return state_->options.root.empty() ? std::filesystem::path() : state_->options.root / "debug.log";
}
std::filesystem::path Session::windowsDir() const { return state_->windowsDir; }
std::optional<pid_t> Session::otherInstance() const {
  if (state_->windowsCreated > 0 || state_->foreign.empty()) return std::nullopt;
  return state_->foreign.begin()->second.first;
}

HINSTANCE Session::loadModule(std::span<const std::uint8_t> resBytes) {
  auto m = std::make_unique<Module>(resBytes);
  std::uintptr_t h = state_->newHandle();
  state_->modules.emplace(h, std::move(m));
  return reinterpret_cast<HINSTANCE>(h);
}

const Module *Session::module(HINSTANCE instance) const { return state_->moduleOf(instance); }

void Session::pump() {
  State &s = *state_;
  MSG m;
  while (nextMessage(s, m, nullptr, 0, 0, false, true)) {
    if (m.message == WM_QUIT) {
      s.quitPending = true;  // stays for the program's loop
      s.quitCode = static_cast<int>(m.wParam);
      return;
    }
    dispatch(s, m);
  }
}

void Session::runFor(Micros us) {
  State &s = *state_;
  Micros target = s.loop.now() + us;
  for (;;) {
    pump();
    auto next = s.loop.nextDue();
    if (!next || *next > target) break;
    s.loop.runOne();
  }
  s.loop.runUntil(target);
  pump();
}

void Session::userQuit() {
  State &s = *state_;
  // The program's own top-level windows are closed; whatever it does about that, the quit message
  // follows once the queue is empty.
  for (HWND t : s.topOrder) {
    Window *w = s.get(t);
    if (w && !w->cls->system) post(s, t, WM_CLOSE, 0, 0);
  }
  s.quitRequested = true;
}

void Session::requestAdvance(Micros us) { state_->advanceTo = state_->loop.now() + us; }
Micros Session::advanceTarget() const { return state_->advanceTo; }

std::optional<MessageBoxView> Session::messageBox() const {
  if (state_->boxes.empty()) return std::nullopt;
  return state_->boxes.back()->view;
}

bool Session::answerMessageBox(int id) {
  if (state_->boxes.empty()) return false;
  MessageBoxState *box = state_->boxes.back();
  if (box->done) return false;
  const auto &b = box->view.buttons;
  if (std::find(b.begin(), b.end(), id) == b.end()) return false;
  box->result = id;
  box->done = true;
  return true;
}

void Session::moveMessageBoxFocus(int delta) {
  if (state_->boxes.empty()) return;
  MessageBoxView &v = state_->boxes.back()->view;
  int n = static_cast<int>(v.buttons.size());
  v.focus = ((v.focus + delta) % n + n) % n;
}

std::vector<Session::TrayIconView> Session::trayIcons() const {
  std::vector<TrayIconView> out;
  for (const TrayIcon &t : state_->tray) {
    TrayIconView v{t.window, t.id, t.callbackMessage, (t.flags & NIF_MESSAGE) != 0, std::nullopt, {}, t.tip};
    auto it = state_->gdi.find(reinterpret_cast<std::uintptr_t>(t.icon));
    if (it != state_->gdi.end() && it->second.kind == GdiKind::Icon) {
      v.picture = it->second.name;
      v.image = it->second.image;
    }
    out.push_back(std::move(v));
  }
  return out;
}

bool Session::tapTray(std::size_t index) {
  State &s = *state_;
  if (index >= s.tray.size()) return false;
  TrayIcon t = s.tray[index];
  if (!s.get(t.window)) {
    // The shell finds out that the icon's window is gone when it is touched.
    s.tray.erase(s.tray.begin() + static_cast<std::ptrdiff_t>(index));
    return false;
  }
  if (t.flags & NIF_MESSAGE) {
    post(s, t.window, t.callbackMessage, t.id, WM_LBUTTONDOWN);
    post(s, t.window, t.callbackMessage, t.id, WM_LBUTTONUP);
  }
  return true;
}

}  // namespace teskel::ui
