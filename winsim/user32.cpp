// user32: dialogs and the scripted user who answers them, message boxes,
// window classes and windows with their messages, icons, cursors, the
// screen's metrics, and the characters of the ANSI code page. The common
// controls' one call is here too.
//
// A window is painted the way the system paints it: ShowWindow erases a
// window it makes visible at once, sending WM_ERASEBKGND with a device
// context; UpdateWindow then sends WM_PAINT, and the default handling of
// WM_PAINT erases again only when the erase is still pending. A procedure
// that answers WM_ERASEBKGND with 0 leaves the erase pending; one that keeps
// WM_PAINT from the default handling leaves the window unvalidated.
#include <deque>
#include <map>

#include "winsim/machine.h"

namespace winsim {
namespace {

const uintptr_t kFirstWindow = 0x10000000;
const uintptr_t kModuleIcons = 0x50000000;
const uintptr_t kSystemIcons = 0x51000000;
const uintptr_t kSystemCursors = 0x52000000;

struct Ui {
  std::map<int, std::vector<int>> templates;
  std::deque<UserAction> actions;
  std::vector<DialogRecord> dialogs;
  std::map<uintptr_t, bool> ended;  // per dialog window: EndDialog was called
  uintptr_t nextWindow = 0x20000;
};

struct WindowState {
  WNDPROC proc = nullptr;
  bool needsPaint = true;
  bool needsErase = true;
};

struct WindowTable {
  std::vector<WORD> icons;
  int screenWidth = 1024, screenHeight = 768;
  std::vector<WindowClassRecord> classes;
  std::vector<WindowRecord> windows;
  std::map<uintptr_t, WindowState> states;
  bool quitPosted = false;
  int quitCode = 0;
};

WindowTable& W() {
  static WindowTable windows;
  return windows;
}

// The user's answers to the questions of message boxes, for the whole run.
std::deque<int> answers;

Ui& U() {
  static Ui ui;
  return ui;
}

const uintptr_t kControlsPerDialog = 0x100;

DialogRecord* DialogOf(HWND window) {
  for (DialogRecord& d : U().dialogs)
    if (d.window == window && !d.destroyed) return &d;
  return nullptr;
}

// A control's window is its dialog's window plus its index + 1.
bool ControlOf(HWND control, DialogRecord** dialog, size_t* index) {
  uintptr_t v = reinterpret_cast<uintptr_t>(control);
  uintptr_t base = v - (v % kControlsPerDialog);
  DialogRecord* d = DialogOf(reinterpret_cast<HWND>(base));
  if (!d || v == base || v - base - 1 >= d->controls.size()) return false;
  *dialog = d;
  *index = v - base - 1;
  return true;
}

int IndexOfControl(const DialogRecord& d, int id) {
  for (size_t i = 0; i < d.controls.size(); ++i)
    if (d.controls[i] == id) return static_cast<int>(i);
  return -1;
}

DialogRecord* OpenDialog(LPCSTR templateName, HWND owner, bool modal) {
  auto t = U().templates.find(LOWORD(templateName));
  if (!IS_INTRESOURCE(templateName) || t == U().templates.end()) return nullptr;
  DialogRecord d{};
  d.templateId = t->first;
  d.window = reinterpret_cast<HWND>(U().nextWindow);
  U().nextWindow += kControlsPerDialog;
  d.owner = owner;
  d.modal = modal;
  d.result = 0;
  d.controls = t->second;
  d.texts.assign(d.controls.size(), "");
  d.enabled.assign(d.controls.size(), true);
  U().dialogs.push_back(d);
  return &U().dialogs.back();
}

uintptr_t Value(const void* p) { return reinterpret_cast<uintptr_t>(p); }

bool SameName(const std::string& a, const char* b) { return Upper(a) == Upper(b ? b : ""); }

WindowRecord* LiveWindow(HWND window) {
  for (WindowRecord& w : W().windows)
    if (w.window == window && !w.destroyed) return &w;
  return nullptr;
}

LRESULT Deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto state = W().states.find(Value(window));
  if (state == W().states.end() || !state->second.proc) return 0;
  LRESULT result = state->second.proc(window, message, wParam, lParam);
  // The procedure may have changed the records; find this window's again.
  if (WindowRecord* w = LiveWindow(window)) w->messages.push_back({message, wParam, result});
  return result;
}

// Erases the window through its procedure on a device context of its own.
void Erase(HWND window) {
  W().states[Value(window)].needsErase = false;
  HDC dc = OpenDc();
  if (!Deliver(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0))
    W().states[Value(window)].needsErase = true;  // fErase: left for the painter
  CloseDc(dc);
}

// The default painting: BeginPaint erases what is still to be erased,
// EndPaint validates the window.
void DefaultPaint(HWND window) {
  WindowRecord* w = LiveWindow(window);
  if (!w) return;
  ++w->paints;
  if (W().states[Value(window)].needsErase) Erase(window);
  W().states[Value(window)].needsPaint = false;
}

// A scripted user's answer to a message box of `type`.
int AnswerMessageBox(UINT type) {
  if ((type & 0xF) == MB_OK) return IDOK;
  if (answers.empty()) {
    M().misuse.push_back("a question was asked with no answer scripted for the user");
    return IDNO;
  }
  int answer = answers.front();
  answers.pop_front();
  return answer;
}

}  // namespace

void ResetUi() {
  answers.clear();
  U() = Ui();
  W() = WindowTable();
}

void EndUiProcess() {
  U().actions.clear();
  U().dialogs.clear();
  U().ended.clear();
  W() = WindowTable();
}

void QueueAnswer(int button) { answers.push_back(button); }

void DefineDialog(int templateId, const std::vector<int>& controls) {
  U().templates[templateId] = controls;
}
void RemoveDialog(int templateId) { U().templates.erase(templateId); }
UserAction Press(int control) { return {UserAction::kPress, control}; }
UserAction Enter() { return {UserAction::kEnter, 0}; }
UserAction Escape() { return {UserAction::kEscape, 0}; }
void Script(const std::vector<UserAction>& actions) {
  U().actions.insert(U().actions.end(), actions.begin(), actions.end());
}
const std::vector<DialogRecord>& Dialogs() { return U().dialogs; }
std::string DialogText(const DialogRecord& d, int control) {
  int i = IndexOfControl(d, control);
  return i < 0 ? "" : d.texts[i];
}
bool DialogEnabled(const DialogRecord& d, int control) {
  int i = IndexOfControl(d, control);
  return i >= 0 && d.enabled[i];
}
const std::vector<Notice>& Notices() { return M().notices; }
void DefineIcon(WORD id) { W().icons.push_back(id); }
void SetScreenSize(int width, int height) {
  W().screenWidth = width;
  W().screenHeight = height;
}
const std::vector<WindowClassRecord>& WindowClasses() { return W().classes; }
const std::vector<WindowRecord>& Windows() { return W().windows; }
const WindowRecord* WindowOf(HWND window) {
  for (const WindowRecord& w : W().windows)
    if (w.window == window) return &w;
  return nullptr;
}
bool QuitPosted() { return W().quitPosted; }
int QuitCode() { return W().quitCode; }

}  // namespace winsim

using namespace winsim;

static const char* NextChar(const char* p) {
  if (*p == '\0') return p;
  return p + (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] ? 2 : 1);
}
LPSTR CharNextA(LPCSTR p) {
  Checkpoint("CharNextA");
  return const_cast<LPSTR>(NextChar(p));
}
LPSTR CharPrevA(LPCSTR start, LPCSTR p) {
  Checkpoint("CharPrevA");
  const char* previous = start;
  for (const char* q = start; q < p && *q; q = NextChar(q)) previous = q;
  return const_cast<LPSTR>(previous);
}

INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
  if (ShouldFail("DialogBoxParamA")) return -1;
  DialogRecord* d = OpenDialog(templateName, owner, true);
  if (!d) return -1;
  Note("dialog " + std::to_string(d->templateId));
  HWND window = d->window;
  uintptr_t key = reinterpret_cast<uintptr_t>(window);
  U().ended[key] = false;
  proc(window, WM_INITDIALOG, 0, param);
  d = DialogOf(window);
  d->textsAtOpen = d->texts;
  d->enabledAtOpen = d->enabled;
  while (!U().ended[key]) {
    if (U().actions.empty()) {
      M().misuse.push_back("a modal dialog was left with nothing scripted for the user to do");
      EndDialog(window, -1);
      break;
    }
    UserAction a = U().actions.front();
    U().actions.pop_front();
    int id = a.kind == UserAction::kEnter ? IDOK : a.kind == UserAction::kEscape ? IDCANCEL : a.control;
    d = DialogOf(window);
    int index = IndexOfControl(*d, id);
    bool keyboard = a.kind != UserAction::kPress;
    if (!keyboard && (index < 0 || !d->enabled[index])) {
      d->ignoredPresses.push_back(id);
      continue;
    }
    proc(window, WM_COMMAND, static_cast<WPARAM>(id), 0);
  }
  d = DialogOf(window);
  d->destroyed = true;
  Note("dialog " + std::to_string(d->templateId) + " -> " + std::to_string(d->result));
  return d->result;
}

HWND CreateDialogParamA(HINSTANCE, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
  if (ShouldFail("CreateDialogParamA")) return nullptr;
  DialogRecord* d = OpenDialog(templateName, owner, false);
  if (!d) return nullptr;
  Note("modeless " + std::to_string(d->templateId));
  HWND window = d->window;
  proc(window, WM_INITDIALOG, 0, param);
  d = DialogOf(window);
  d->textsAtOpen = d->texts;
  d->enabledAtOpen = d->enabled;
  return window;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  Checkpoint("EndDialog");
  DialogRecord* d = DialogOf(dialog);
  if (!d || !d->modal) return FALSE;
  d->result = result;
  U().ended[reinterpret_cast<uintptr_t>(dialog)] = true;
  return TRUE;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  Checkpoint("SetDlgItemTextA");
  DialogRecord* d = DialogOf(dialog);
  int i = d ? IndexOfControl(*d, id) : -1;
  if (i < 0) return FALSE;
  d->texts[i] = text ? text : "";
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
  Checkpoint("GetDlgItem");
  DialogRecord* d = DialogOf(dialog);
  int i = d ? IndexOfControl(*d, id) : -1;
  if (i < 0) return nullptr;
  return reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(dialog) + i + 1);
}

BOOL EnableWindow(HWND window, BOOL enable) {
  Checkpoint("EnableWindow");
  DialogRecord* d;
  size_t i;
  if (!ControlOf(window, &d, &i)) return FALSE;
  BOOL wasDisabled = !d->enabled[i];
  d->enabled[i] = enable != FALSE;
  return wasDisabled;
}

BOOL DestroyWindow(HWND window) {
  Checkpoint("DestroyWindow");
  DialogRecord* d = DialogOf(window);
  if (!d) {
    M().misuse.push_back("DestroyWindow of a window that does not exist");
    return FALSE;
  }
  d->destroyed = true;
  Note("destroy " + std::to_string(d->templateId));
  return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  Checkpoint("MessageBoxA");
  M().notices.push_back({owner, text ? text : "", caption ? caption : "Error", type});
  Note("notice " + M().notices.back().caption);
  return AnswerMessageBox(type);
}

void InitCommonControls(void) {
  Checkpoint("InitCommonControls");
  Note("common controls");
}

// ---- classes and windows ----------------------------------------------------

ATOM RegisterClassExA(const WNDCLASSEXA* wc) {
  if (ShouldFail("RegisterClassExA")) return 0;
  if (!wc || wc->cbSize != sizeof(WNDCLASSEXA) || !wc->lpszClassName || !wc->lpfnWndProc ||
      wc->cbClsExtra < 0 || wc->cbWndExtra < 0) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  for (const WindowClassRecord& c : W().classes) {
    if (SameName(c.className, wc->lpszClassName) && c.fields.hInstance == wc->hInstance) {
      M().lastError = ERROR_CLASS_ALREADY_EXISTS;
      return 0;
    }
  }
  WindowClassRecord c{};
  c.fields = *wc;
  c.className = wc->lpszClassName;
  c.hasMenuName = wc->lpszMenuName != nullptr;
  if (c.hasMenuName)
    c.menuName = IS_INTRESOURCE(wc->lpszMenuName) ? "#" + std::to_string(LOWORD(wc->lpszMenuName))
                                                  : wc->lpszMenuName;
  c.fields.lpszClassName = nullptr;  // the caller's texts may not outlive the call
  c.fields.lpszMenuName = nullptr;
  W().classes.push_back(c);
  return static_cast<ATOM>(0xC000 + W().classes.size());
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  if (ShouldFail("CreateWindowExA")) return nullptr;
  const WindowClassRecord* cls = nullptr;
  for (const WindowClassRecord& c : W().classes)
    if (className && !IS_INTRESOURCE(className) && SameName(c.className, className) &&
        c.fields.hInstance == instance)
      cls = &c;
  if (!cls) {
    M().lastError = ERROR_CANNOT_FIND_WND_CLASS;
    return nullptr;
  }
  if (parent && !LiveWindow(parent)) {
    M().lastError = ERROR_INVALID_WINDOW_HANDLE;
    return nullptr;
  }
  WindowRecord w{};
  w.window = reinterpret_cast<HWND>(kFirstWindow + 0x10 * W().windows.size());
  w.exStyle = exStyle;
  w.className = cls->className;
  w.hasTitle = windowName != nullptr;
  w.title = windowName ? windowName : "";
  w.style = style;
  w.x = x;
  w.y = y;
  w.width = width;
  w.height = height;
  w.parent = parent;
  w.menu = menu;
  w.instance = instance;
  w.param = param;
  w.visible = (style & WS_VISIBLE) != 0;
  HWND window = w.window;
  WNDPROC proc = cls->fields.lpfnWndProc;
  W().windows.push_back(w);
  W().states[Value(window)].proc = proc;
  Note("window " + w.className);

  CREATESTRUCTA cs = {param, instance, menu, parent, height, width, y, x,
                      static_cast<LONG>(style), windowName, className, exStyle};
  LPARAM lp = reinterpret_cast<LPARAM>(&cs);
  // A procedure that refuses creation gets its window destroyed again.
  bool refused = !Deliver(window, WM_NCCREATE, 0, lp) || Deliver(window, WM_CREATE, 0, lp) == -1;
  if (refused) {
    Deliver(window, WM_DESTROY, 0, 0);
    LiveWindow(window)->destroyed = true;
    M().lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return window;
}

BOOL IsWindow(HWND window) { return LiveWindow(window) != nullptr; }

BOOL ShowWindow(HWND window, int show) {
  WindowRecord* w = LiveWindow(window);
  if (!w) {
    M().lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  BOOL wasVisible = w->visible;
  w->shows.push_back(show);
  w->visible = show != SW_HIDE;
  if (w->visible && !wasVisible) Erase(window);
  return wasVisible;
}

BOOL UpdateWindow(HWND window) {
  WindowRecord* w = LiveWindow(window);
  if (!w) {
    M().lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  if (w->visible && W().states[Value(window)].needsPaint) Deliver(window, WM_PAINT, 0, 0);
  return TRUE;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_NCCREATE:
      return TRUE;
    case WM_PAINT:
      DefaultPaint(window);
      return 0;
    case WM_ERASEBKGND:
      return 0;  // no class brush: nothing erased
    default:
      return 0;
  }
}

void PostQuitMessage(int exitCode) {
  W().quitPosted = true;
  W().quitCode = exitCode;
}

int GetSystemMetrics(int index) {
  if (index == SM_CXSCREEN) return W().screenWidth;
  if (index == SM_CYSCREEN) return W().screenHeight;
  return 0;
}

// A shared icon: every load of the same resource gives the same handle.
HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  if (ShouldFail("LoadIconA")) return nullptr;
  if (IS_INTRESOURCE(name)) {
    WORD id = LOWORD(name);
    if (!instance && id >= 32512 && id <= 32518)
      return reinterpret_cast<HICON>(kSystemIcons + id);
    if (instance == ModuleHandle())
      for (WORD icon : W().icons)
        if (icon == id) return reinterpret_cast<HICON>(kModuleIcons + id);
  }
  M().lastError = ERROR_RESOURCE_NAME_NOT_FOUND;
  return nullptr;
}

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
  if (ShouldFail("LoadCursorA")) return nullptr;
  if (!instance && IS_INTRESOURCE(name) && LOWORD(name) >= 32512 && LOWORD(name) <= 32651)
    return reinterpret_cast<HCURSOR>(kSystemCursors + LOWORD(name));
  M().lastError = ERROR_RESOURCE_NAME_NOT_FOUND;
  return nullptr;
}
