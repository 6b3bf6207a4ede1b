// Inner state of a UI session: windows, classes, queue, timers, tray, message boxes, drawing hits.
// Shared by the parts of platform/ui; nothing outside the folder includes it.
#pragma once

#include <sys/types.h>
#include <windows.h>
#include <commctrl.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "teskel/coredll.h"
#include "teskel/ui.h"
#include "teskel/ui_resources.h"

namespace teskel::ui {

// A program built for the device fills in the records' sizes there (the first versions of the
// records on a 32-bit machine); they are taken as the host's record too.
inline constexpr DWORD kDevicePropSheetPageSize = 40;
inline constexpr DWORD kDevicePropSheetHeaderSize = 40;
inline constexpr DWORD kDeviceNotifyIconSize = 152;

// Private messages through which the shell (renderers) acts on windows via the queue, so that the
// program's own loop dispatches them in order with everything else. They sit in the range of
// registered messages, which programs never hard-code.
enum : UINT {
  UIM_KEYNAV = 0xC101,      // wParam VK_TAB / VK_RETURN / VK_ESCAPE, lParam 1 = backwards; to a top-level window
  UIM_TABFOCUS = 0xC102,    // to a control: focus it as the Tab key does (an edit selects all)
  UIM_USERSELECT = 0xC103,  // to a combo box: the user picks item wParam
  UIM_PAGE = 0xC104,        // to a property sheet: the user picks tab wParam
};

enum class Kind { Generic, Dialog, Sheet, Button, Edit, Static, ComboBox, Progress };

struct WindowClass {
  std::u16string name;
  WNDCLASSW wc{};
  ATOM atom = 0;
  bool system = false;
  Kind kind = Kind::Generic;
};

struct ButtonData {
  UINT check = BST_UNCHECKED;
  bool pushed = false;
};

struct EditData {
  std::size_t anchor = 0;  // selection runs from anchor to caret
  std::size_t caret = 0;
  std::size_t limit = 30000;
  bool modified = false;
  std::size_t selStart() const { return std::min(anchor, caret); }
  std::size_t selEnd() const { return std::max(anchor, caret); }
};

struct StaticData {
  HANDLE image = nullptr;
};

struct ComboData {
  std::vector<std::u16string> items;
  std::vector<LPARAM> data;
  int sel = -1;
  bool dropped = false;
  int hot = -1;  // highlighted item while dropped
};

struct ProgressData {
  int lo = 0;
  int hi = 100;
  int pos = 0;
  int step = 10;
};

struct DialogData {
  DLGPROC proc = nullptr;
  LONG_PTR msgResult = 0;
  LONG_PTR user = 0;
  bool isPage = false;
  std::u16string typeface;
  int pointSize = 0;
};

struct SheetPage {
  // The program's page record, copied whole (extra bytes behind the record included).
  std::vector<std::max_align_t> storage;
  std::u16string title;
  DialogTemplate tmpl;
  HWND hwnd = nullptr;
  PROPSHEETPAGEW *psp() { return reinterpret_cast<PROPSHEETPAGEW *>(storage.data()); }
  const PROPSHEETPAGEW *psp() const { return reinterpret_cast<const PROPSHEETPAGEW *>(storage.data()); }
};

struct SheetData {
  std::vector<SheetPage> pages;
  int current = -1;
  bool modeless = false;
  bool ended = false;  // OK or Cancel pressed; a modeless sheet waits for its owner to act
  int result = 0;
  int pageCx = 0;  // page area in dialog units
  int pageCy = 0;
  DWORD flags = 0;
  PFNPROPSHEETCALLBACK callback = nullptr;
  HWND ok = nullptr;
  HWND cancel = nullptr;
};

struct Window {
  HWND handle = nullptr;
  std::shared_ptr<WindowClass> cls;
  Kind kind = Kind::Generic;
  WNDPROC proc = nullptr;
  std::u16string text;
  DWORD style = 0;
  DWORD exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;  // dialog units, relative to the parent's client area
  HWND parent = nullptr;
  HWND owner = nullptr;
  std::vector<HWND> children;  // creation order = drawing and tab order
  UINT_PTR id = 0;
  HINSTANCE instance = nullptr;
  LONG_PTR userData = 0;
  std::vector<std::uint8_t> extra;
  HWND lastFocus = nullptr;  // top-level windows: focus to restore on activation
  std::variant<std::monostate, ButtonData, EditData, StaticData, ComboData, ProgressData> control;
  std::unique_ptr<DialogData> dialog;
  std::unique_ptr<SheetData> sheet;
  bool destroying = false;
  bool published = false;

  bool isChild() const { return (style & WS_CHILD) != 0; }
  bool enabledSelf() const { return (style & WS_DISABLED) == 0; }
  bool visibleSelf() const { return (style & WS_VISIBLE) != 0; }
  template <class T>
  T *as() {
    return std::get_if<T>(&control);
  }
  template <class T>
  const T *as() const {
    return std::get_if<T>(&control);
  }
};

enum class GdiKind { StockBrush, StockPen, StockFont, Icon, Bitmap };
struct GdiObject {
  GdiKind kind = GdiKind::StockBrush;
  int stock = 0;
  HINSTANCE module = nullptr;
  std::optional<ResId> name;
  Image image;
};

struct TrayIcon {
  HWND window = nullptr;
  UINT id = 0;
  UINT flags = 0;
  UINT callbackMessage = 0;
  HICON icon = nullptr;
  std::u16string tip;
};

struct Timer {
  HWND window = nullptr;
  UINT_PTR id = 0;
  UINT period = 0;  // milliseconds
  TIMERPROC proc = nullptr;
  EventLoop::TaskId task = 0;
};

struct MessageBoxState {
  MessageBoxView view;
  HWND owner = nullptr;
  HWND disabledOwner = nullptr;
  UINT type = 0;
  bool done = false;
  int result = 0;
};

// What a drawn cell stands for, for taps.
struct Hit {
  enum class What { Window, Tab, TrayIcon, BoxButton, ComboItem } what = What::Window;
  HWND window = nullptr;
  int index = 0;
};

struct State {
  State(Session &s, EventLoop &l, SessionOptions o) : session(s), loop(l), options(std::move(o)) {}

  Session &session;
  EventLoop &loop;
  SessionOptions options;
  Renderer *renderer = nullptr;

  std::map<std::uintptr_t, std::unique_ptr<Window>> windows;
  std::vector<std::unique_ptr<Window>> graveyard;  // destroyed while a procedure may still run
  std::vector<HWND> topOrder;                      // top-level windows, front first
  std::vector<std::shared_ptr<WindowClass>> classes;
  std::map<std::uintptr_t, std::unique_ptr<Module>> modules;
  std::map<std::uintptr_t, GdiObject> gdi;
  std::map<std::uintptr_t, std::vector<std::max_align_t>> pageHandles;  // CreatePropertySheetPageW
  std::map<std::uintptr_t, std::pair<pid_t, std::string>> foreign;  // windows of other processes
  std::size_t windowsCreated = 0;  // by this process, over the session
  std::uintptr_t nextHandle = 0x10000;
  ATOM nextAtom = 0xC000;

  std::deque<MSG> queue;
  bool quitPending = false;
  int quitCode = 0;
  std::map<std::pair<HWND, UINT_PTR>, Timer> timers;
  std::deque<std::pair<HWND, UINT_PTR>> dueTimers;
  UINT_PTR nextTimerId = 0x7000;

  HWND focus = nullptr;
  HWND foreground = nullptr;
  std::vector<TrayIcon> tray;
  std::vector<MessageBoxState *> boxes;

  Micros advanceTo = 0;
  bool inputEnded = false;
  bool quitRequested = false;
  int depth = 0;  // procedures running

  // Cell -> hit of the last drawing.
  mutable std::vector<Hit> hits;
  mutable std::vector<int> hitIndex;
  mutable int hitWidth = 0;
  mutable int hitHeight = 0;
  // Where the view of the windows starts, for a screen smaller than what it shows.
  mutable int scrollX = 0;
  mutable int scrollY = 0;

  std::filesystem::path windowsDir;
  bool windowsDirPerRoot = false;  // the runtime folder's per-root part, removed at the end when empty
  int lockFd = -1;          // held while this process publishes windows
  pid_t publisherPid = 0;   // the process that opened the publishing (not a forked copy)
  coredll::MessageBoxHandler previousBoxHandler;
  coredll::DebugOutputHandler previousDebugHandler;

  std::uintptr_t newHandle() {
    std::uintptr_t h = nextHandle;
    nextHandle += 4;
    return h;
  }
  Window *get(HWND h) const {
    auto it = windows.find(reinterpret_cast<std::uintptr_t>(h));
    return it == windows.end() ? nullptr : it->second.get();
  }
  GdiObject *gdiObject(const void *h) {
    auto it = gdi.find(reinterpret_cast<std::uintptr_t>(h));
    return it == gdi.end() ? nullptr : &it->second;
  }
  const Module *moduleOf(HINSTANCE h) const {
    auto it = modules.find(reinterpret_cast<std::uintptr_t>(h));
    return it == modules.end() ? nullptr : it->second.get();
  }
};

State *currentState();

// ---- window core (windows.cpp) ----
void registerSystemClasses(State &s);
std::shared_ptr<WindowClass> findClass(State &s, LPCWSTR name, HINSTANCE inst);
HWND createWindow(State &s, DWORD exStyle, LPCWSTR cls, LPCWSTR name, DWORD style, int x, int y, int cx, int cy,
                  HWND parent, HMENU menu, HINSTANCE inst, LPVOID param);
bool destroyWindow(State &s, HWND h);
LRESULT send(State &s, HWND h, UINT msg, WPARAM wp, LPARAM lp);
LRESULT defWindowProc(State &s, HWND h, UINT msg, WPARAM wp, LPARAM lp);
bool post(State &s, HWND h, UINT msg, WPARAM wp, LPARAM lp);
LRESULT dispatch(State &s, const MSG &m);
// Next message for the thread. wait: block (asking the renderer for input) until there is one.
bool nextMessage(State &s, MSG &out, HWND filter, UINT lo, UINT hi, bool wait, bool remove);
void freeGraveyard(State &s);
UINT_PTR setTimer(State &s, HWND h, UINT_PTR id, UINT ms, TIMERPROC proc);
bool killTimer(State &s, HWND h, UINT_PTR id);
HWND topLevelOf(const State &s, HWND h);
bool isVisible(const State &s, HWND h);  // the window and all its ancestors
bool isEnabled(const State &s, HWND h);  // the window and all its ancestors
bool showWindow(State &s, HWND h, int cmd);
bool setForeground(State &s, HWND h);
HWND setFocus(State &s, HWND h);
bool enableWindow(State &s, HWND h, bool enable);
void setText(State &s, HWND h, const std::u16string &text);
// Absolute cell rectangle of a window's area on the screen (left, top, right, bottom exclusive).
struct CellRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool contains(int c, int r) const { return c >= left && c < right && r >= top && r < bottom; }
};
// Cell rectangle of a window in the drawing of all windows (before the view scrolls).
CellRect cellRect(const State &s, HWND h);
// Dialog units map to cells by one rule for every window: 8 units down to a row, and across 14
// units to 5 cells (2.8 a cell), the scale at which a 14-unit field shows a frame around three
// characters and every text of a layout drawn for proportional type fits its own width.
inline int floorDiv(long long a, long long b) { return static_cast<int>(a >= 0 ? a / b : -((-a + b - 1) / b)); }
inline int unitsToCols(int x) { return floorDiv(static_cast<long long>(x) * 5, 14); }
inline int unitsToRows(int y) { return floorDiv(y, 8); }
// The middle of a cell, in units from the start of cell 0.
inline int colToUnits(int col) { return floorDiv((2LL * col + 1) * 14, 10); }
inline int rowToUnits(int row) { return row * 8 + 4; }
// A top-level window's size includes its frame: these many units across and down, one cell each side.
inline constexpr int kFrameUnitsX = 8;
inline constexpr int kFrameUnitsY = 16;
std::u16string fromResourceText(LPCWSTR p);
std::optional<ResId> resIdFromPointer(LPCWSTR p);

// ---- controls (controls.cpp) ----
LRESULT CALLBACK ButtonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK EditProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK StaticProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ComboProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ProgressProc(HWND, UINT, WPARAM, LPARAM);
void notifyParent(State &s, HWND control, WORD code);
bool isPushButton(const Window &w);
bool isCheckBox(const Window &w);
bool isRadio(const Window &w);
bool isGroupBox(const Window &w);
bool selectionVisible(const State &s, const Window &w);

// ---- dialogs (dialogs.cpp) ----
LRESULT CALLBACK DefDlgProcInternal(HWND, UINT, WPARAM, LPARAM);
HWND createDialog(State &s, const DialogTemplate &t, HINSTANCE inst, HWND parent, DLGPROC proc, LPARAM param,
                  bool asPage, int x, int y);
// With `withDisabled`, disabled controls (and those in disabled containers) are listed too.
std::vector<HWND> tabStops(const State &s, HWND container, bool withDisabled = false);
// Tab navigation inside a top-level window's controls.
void navigate(State &s, HWND top, const std::vector<HWND> &order, bool backwards);
HWND findControl(const State &s, HWND parent, int id);

// ---- property sheets (propsheet.cpp) ----
LRESULT CALLBACK SheetProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR propertySheet(State &s, const PROPSHEETHEADERW *h);
void releaseSheetPages(State &s, Window &w);

// ---- shell: tray, message boxes, debug output, published windows (shell.cpp) ----
bool notifyIcon(State &s, DWORD op, const NOTIFYICONDATAW *data);
int messageBox(State &s, const coredll::MessageBoxRequest &req);
void debugOutput(State &s, const std::u16string &text);
void openPublishing(State &s);
void closePublishing(State &s);
void publishWindow(State &s, Window &w);
void unpublishWindow(State &s, Window &w);
HWND findWindow(State &s, LPCWSTR cls, LPCWSTR title);
std::filesystem::path defaultWindowsDir(const std::filesystem::path &root);

// ---- resources (gdi.cpp) ----
HICON loadIcon(State &s, HINSTANCE inst, LPCWSTR name);
HBITMAP loadBitmap(State &s, HINSTANCE inst, LPCWSTR name);

}  // namespace teskel::ui
