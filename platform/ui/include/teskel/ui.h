// The user-interface session of one handheld program: it keeps every window, the message queue,
// the timers, the tray and the message boxes; renderers only draw that state and feed input.
#pragma once

#include <sys/types.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "teskel/event_loop.h"
#include "teskel/ui_resources.h"

namespace teskel::ui {

struct State;
class Canvas;

// What a renderer sees of an open message box.
struct MessageBoxView {
  std::u16string caption;
  std::u16string text;
  std::vector<int> buttons;  // IDOK, IDCANCEL ... in display order
  int focus = 0;             // index into buttons
};

// Turns user input into the messages a shell sends; owned by whoever starts the session.
class Renderer {
 public:
  virtual ~Renderer() = default;
  // The thread has nothing to do. Wait for input (at most `timeout` microseconds of wall time;
  // nullopt: until there is some) and act on it. Returns false once input has ended for good.
  virtual bool waitInput(std::optional<Micros> timeout) = 0;
  virtual void messageBoxOpened(const MessageBoxView &) {}
  virtual void messageBoxClosed(int /*result*/) {}
  virtual void debugOutput(const std::u16string &) {}
};

struct SessionOptions {
  // The handheld's root folder: the debug log ("debug.log") goes there, and windows are published
  // per root so that FindWindowW sees the programs of the same handheld only.
  std::filesystem::path root;
  // Headless sessions also copy debug output to stderr.
  bool headless = true;
  // Publish top-level windows for FindWindowW in other processes.
  bool publishWindows = true;
  // Folder that holds the published windows; empty: ${XDG_RUNTIME_DIR:-/tmp}/teskel-<uid>/<root hash>
  // (~/.cache/teskel-<uid>/<root hash> when another user took the name in /tmp).
  std::filesystem::path runtimeDir;
};

// Screen size in cells that the drawing uses.
inline constexpr int kScreenWidth = 80;
inline constexpr int kScreenHeight = 24;

// One program's user interface. The Win32 calls act on the current session; there is one per
// process at a time.
class Session {
 public:
  Session(EventLoop &loop, SessionOptions options);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  static Session *current();

  EventLoop &loop();
  void setRenderer(Renderer *renderer);
  Renderer *renderer() const;

  // Loads a program's compiled resources; throws ResourceError when they are corrupt.
  HINSTANCE loadModule(std::span<const std::uint8_t> resBytes);
  const Module *module(HINSTANCE instance) const;

  // Unit-test helpers: dispatch everything queued (timers due now included) without waiting for
  // input, and move the virtual clock by `us`, handling each timer's message before the clock moves on.
  void pump();
  void runFor(Micros us);

  // Input that a renderer feeds in, as the shell would.
  // The user ends the session: top-level windows of the program's own classes get WM_CLOSE; the
  // next time the thread waits, the quit message follows.
  void userQuit();
  // A key as the shell delivers it: Tab (with `shift` backwards), Enter and Escape navigate the
  // dialog or sheet in front (Enter and Escape go to an open drop-down list instead); other keys go to
  // the focus as WM_KEYDOWN, WM_CHAR (when `ch` is set) and WM_KEYUP. vk 0 types `ch` alone.
  // False when no window takes the key.
  bool pressKey(UINT vk, char16_t ch, bool shift = false);
  // OK (IDOK) or Cancel (IDCANCEL) of the property sheet or dialog in front, as a tap on the button.
  bool pressDialogButton(int id);
  // Switches the property sheet in front to tab `index`, or by `index` tabs when `relative`.
  bool switchPage(int index, bool relative);
  // The property sheet or dialog in front, if any.
  HWND frontDialog() const;
  // Virtual mode: the message loop moves the clock up to now + `us` before it waits for input again.
  void requestAdvance(Micros us);
  Micros advanceTarget() const;

  // Open message box, if any (the innermost).
  std::optional<MessageBoxView> messageBox() const;
  // Answers the open box; false when it has no such button.
  bool answerMessageBox(int id);
  void moveMessageBoxFocus(int delta);

  // Tray icons, in the order they were added.
  struct TrayIconView {
    HWND window;
    UINT id;
    UINT callbackMessage;
    bool hasCallback;
    std::optional<ResId> picture;  // resource name of the icon shown
    Image image;                   // its pixels, when the icon has them
    std::u16string tip;
  };
  std::vector<TrayIconView> trayIcons() const;
  // Taps tray icon `index`: posts its callback message with WM_LBUTTONDOWN, then WM_LBUTTONUP.
  bool tapTray(std::size_t index);

  // Draws the screen into `canvas`: the windows (scrolled so that the focus shows when they don't
  // fit), any message box, and at the bottom the help lines and the tray line.
  void draw(Canvas &canvas) const;
  // Where a window was drawn on the last drawing (cells, right and bottom exclusive), the view's
  // scrolling applied; nullopt for a window that is not shown.
  struct CellBox {
    int left = 0, top = 0, right = 0, bottom = 0;
  };
  std::optional<CellBox> drawnAt(HWND window) const;
  // Rows at the bottom of every drawing: two help lines and the tray line.
  static constexpr int kBottomRows = 3;
  // Clicks at a cell of the last drawing, as a pen tap would: returns false when nothing is there.
  bool tapAt(int col, int row);

  // The debug log in the root folder.
  std::filesystem::path debugLogPath() const;
  // Folder where this session publishes its top-level windows.
  std::filesystem::path windowsDir() const;
  // The process of another program's window that this one looked for and found, when it made no
  // window of its own: a second instance that left at once, as such programs do.
  std::optional<pid_t> otherInstance() const;

  State &state();
  const State &state() const;

 private:
  std::unique_ptr<State> state_;
};

// Hash of a root folder used in the runtime folder's name (stable across processes).
std::string rootKey(const std::filesystem::path &root);

}  // namespace teskel::ui
