// Window classes, windows and their messages, and the GDI a paint uses.
//
// A window is painted the way the system paints it: ShowWindow erases a
// window it makes visible at once, sending WM_ERASEBKGND with a device
// context; UpdateWindow then sends WM_PAINT, and the default handling of
// WM_PAINT erases again only when the erase is still pending. A procedure
// that answers WM_ERASEBKGND with 0 leaves the erase pending; one that keeps
// WM_PAINT from the default handling leaves the window unvalidated.
#include <cstring>
#include <map>

#include "winsim/machine.h"

namespace winsim {
namespace {

const uintptr_t kFirstWindow = 0x10000000;
const uintptr_t kFirstDc = 0x20000000;
const uintptr_t kFirstObject = 0x30000000;
const uintptr_t kStockBrush = 0x3F000001;
const uintptr_t kStockPen = 0x3F000002;
const uintptr_t kStockFont = 0x3F000003;
const uintptr_t kModuleIcons = 0x50000000;
const uintptr_t kSystemIcons = 0x51000000;
const uintptr_t kSystemCursors = 0x52000000;

struct Dc {
  uintptr_t brush = kStockBrush;
  uintptr_t pen = kStockPen;
  uintptr_t font = kStockFont;
  int bkMode = OPAQUE;
  COLORREF textColor = RGB(0, 0, 0);
  UINT align = TA_LEFT | TA_TOP;
};

struct WindowState {
  WNDPROC proc = nullptr;
  bool needsPaint = true;
  bool needsErase = true;
};

struct Gdi {
  std::vector<WORD> icons;
  int screenWidth = 1024, screenHeight = 768;
  bool extentSet = false;
  SIZE extent = {0, 0};
  std::vector<WindowClassRecord> classes;
  std::vector<WindowRecord> windows;
  std::map<uintptr_t, WindowState> states;
  bool quitPosted = false;
  int quitCode = 0;
  std::map<uintptr_t, Dc> dcs;  // open device contexts
  uintptr_t nextDc = kFirstDc;
  std::vector<GdiObjectRecord> objects;
  std::vector<RectangleRecord> rectangles;
  std::vector<TextOutRecord> texts;
  std::vector<std::string> journal;
};

Gdi& G() {
  static Gdi gdi;
  return gdi;
}

uintptr_t Value(const void* p) { return reinterpret_cast<uintptr_t>(p); }

bool SameName(const std::string& a, const char* b) { return Upper(a) == Upper(b ? b : ""); }

WindowRecord* RecordOf(HWND window) {
  for (WindowRecord& w : G().windows)
    if (w.window == window && !w.destroyed) return &w;
  return nullptr;
}

GdiObjectRecord* ObjectOf(uintptr_t handle) {
  if (handle < kFirstObject || handle - kFirstObject >= G().objects.size()) return nullptr;
  return &G().objects[handle - kFirstObject];
}

Dc* DcOf(HDC dc) {
  auto it = G().dcs.find(Value(dc));
  if (it == G().dcs.end()) {
    M().misuse.push_back("drawing on a device context that is not open");
    return nullptr;
  }
  return &it->second;
}

std::string NameOf(uintptr_t handle) {
  if (handle == kStockBrush) return "stock brush";
  if (handle == kStockPen) return "stock pen";
  if (handle == kStockFont) return "stock font";
  if (ObjectOf(handle)) return "#" + std::to_string(handle - kFirstObject + 1);
  return "unknown object";
}

std::string Rgb(COLORREF c) {
  return std::to_string(GetRValue(c)) + "," + std::to_string(GetGValue(c)) + "," +
         std::to_string(GetBValue(c));
}

void Log(const std::string& line) { G().journal.push_back(line); }

uintptr_t NewObject(GdiObjectRecord::Kind kind, COLORREF color, const LOGFONTA* font) {
  GdiObjectRecord o{};
  o.handle = reinterpret_cast<HGDIOBJ>(kFirstObject + G().objects.size());
  o.kind = kind;
  o.color = color;
  if (font) o.font = *font;
  G().objects.push_back(o);
  return Value(o.handle);
}

// Sets one drawing attribute of a dc; the value it replaces, or `failed`.
template <typename T>
T SetAttribute(HDC dc, T Dc::*field, T value, T failed, const std::string& line) {
  Dc* d = DcOf(dc);
  if (!d) return failed;
  T previous = d->*field;
  d->*field = value;
  Log(line);
  return previous;
}

// Whether any open device context has the object selected.
bool Selected(uintptr_t handle) {
  for (const auto& entry : G().dcs) {
    const Dc& dc = entry.second;
    if (dc.brush == handle || dc.font == handle) return true;
  }
  return false;
}

LRESULT Deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto state = G().states.find(Value(window));
  if (state == G().states.end() || !state->second.proc) return 0;
  LRESULT result = state->second.proc(window, message, wParam, lParam);
  // The procedure may have changed the records; find this window's again.
  if (WindowRecord* w = RecordOf(window)) w->messages.push_back({message, wParam, result});
  return result;
}

// Erases the window through its procedure on a device context of its own.
void Erase(HWND window) {
  G().states[Value(window)].needsErase = false;
  HDC dc = OpenDc();
  if (!Deliver(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0))
    G().states[Value(window)].needsErase = true;  // fErase: left for the painter
  CloseDc(dc);
}

// The default painting: BeginPaint erases what is still to be erased,
// EndPaint validates the window.
void DefaultPaint(HWND window) {
  WindowRecord* w = RecordOf(window);
  if (!w) return;
  ++w->paints;
  if (G().states[Value(window)].needsErase) Erase(window);
  G().states[Value(window)].needsPaint = false;
}

}  // namespace

void DefineIcon(WORD id) { G().icons.push_back(id); }
void SetScreenSize(int width, int height) {
  G().screenWidth = width;
  G().screenHeight = height;
}
void SetTextExtent(LONG width, LONG height) {
  G().extentSet = true;
  G().extent = {width, height};
}
const std::vector<WindowClassRecord>& WindowClasses() { return G().classes; }
const std::vector<WindowRecord>& Windows() { return G().windows; }
const WindowRecord* WindowOf(HWND window) {
  for (const WindowRecord& w : G().windows)
    if (w.window == window) return &w;
  return nullptr;
}
bool QuitPosted() { return G().quitPosted; }
int QuitCode() { return G().quitCode; }

HDC OpenDc() {
  uintptr_t h = G().nextDc++;
  G().dcs[h] = Dc();
  return reinterpret_cast<HDC>(h);
}

void CloseDc(HDC dc) {
  auto it = G().dcs.find(Value(dc));
  if (it == G().dcs.end()) {
    M().misuse.push_back("a device context was given back twice");
    return;
  }
  if (ObjectOf(it->second.brush) || ObjectOf(it->second.font))
    M().misuse.push_back("a device context was given back with " +
                         NameOf(ObjectOf(it->second.brush) ? it->second.brush : it->second.font) +
                         " still selected");
  G().dcs.erase(it);
}

HGDIOBJ StockBrush() { return reinterpret_cast<HGDIOBJ>(kStockBrush); }
HGDIOBJ StockFont() { return reinterpret_cast<HGDIOBJ>(kStockFont); }
const std::vector<GdiObjectRecord>& GdiObjects() { return G().objects; }
int LiveGdiObjects() {
  int live = 0;
  for (const GdiObjectRecord& o : G().objects)
    if (!o.deleted) ++live;
  return live;
}
const std::vector<RectangleRecord>& Rectangles() { return G().rectangles; }
const std::vector<TextOutRecord>& TextOuts() { return G().texts; }
const std::vector<std::string>& GdiJournal() { return G().journal; }
void ResetGdi() { G() = Gdi(); }

}  // namespace winsim

using namespace winsim;

// ---- classes and windows ----------------------------------------------------

ATOM RegisterClassExA(const WNDCLASSEXA* wc) {
  if (ShouldFail("RegisterClassExA")) return 0;
  if (!wc || wc->cbSize != sizeof(WNDCLASSEXA) || !wc->lpszClassName || !wc->lpfnWndProc ||
      wc->cbClsExtra < 0 || wc->cbWndExtra < 0) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  for (const WindowClassRecord& c : G().classes) {
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
  G().classes.push_back(c);
  return static_cast<ATOM>(0xC000 + G().classes.size());
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  if (ShouldFail("CreateWindowExA")) return nullptr;
  const WindowClassRecord* cls = nullptr;
  for (const WindowClassRecord& c : G().classes)
    if (className && !IS_INTRESOURCE(className) && SameName(c.className, className) &&
        c.fields.hInstance == instance)
      cls = &c;
  if (!cls) {
    M().lastError = ERROR_CANNOT_FIND_WND_CLASS;
    return nullptr;
  }
  if (parent && !RecordOf(parent)) {
    M().lastError = ERROR_INVALID_WINDOW_HANDLE;
    return nullptr;
  }
  WindowRecord w{};
  w.window = reinterpret_cast<HWND>(kFirstWindow + 0x10 * G().windows.size());
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
  G().windows.push_back(w);
  G().states[Value(window)].proc = proc;
  Note("window " + w.className);

  CREATESTRUCTA cs = {param, instance, menu, parent, height, width, y, x,
                      static_cast<LONG>(style), windowName, className, exStyle};
  LPARAM lp = reinterpret_cast<LPARAM>(&cs);
  // A procedure that refuses creation gets its window destroyed again.
  bool refused = !Deliver(window, WM_NCCREATE, 0, lp) || Deliver(window, WM_CREATE, 0, lp) == -1;
  if (refused) {
    Deliver(window, WM_DESTROY, 0, 0);
    RecordOf(window)->destroyed = true;
    M().lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return window;
}

BOOL IsWindow(HWND window) { return RecordOf(window) != nullptr; }

BOOL ShowWindow(HWND window, int show) {
  WindowRecord* w = RecordOf(window);
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
  WindowRecord* w = RecordOf(window);
  if (!w) {
    M().lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  if (w->visible && G().states[Value(window)].needsPaint) Deliver(window, WM_PAINT, 0, 0);
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
  G().quitPosted = true;
  G().quitCode = exitCode;
}

int GetSystemMetrics(int index) {
  if (index == SM_CXSCREEN) return G().screenWidth;
  if (index == SM_CYSCREEN) return G().screenHeight;
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
      for (WORD icon : G().icons)
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

// ---- GDI --------------------------------------------------------------------

HBRUSH CreateSolidBrush(COLORREF color) {
  if (ShouldFail("CreateSolidBrush")) {
    Log("brush " + Rgb(color) + " failed");
    return nullptr;
  }
  uintptr_t h = NewObject(GdiObjectRecord::kBrush, color, nullptr);
  Log("brush " + NameOf(h) + " " + Rgb(color));
  return reinterpret_cast<HBRUSH>(h);
}

HFONT CreateFontIndirectA(const LOGFONTA* font) {
  if (!font || ShouldFail("CreateFontIndirectA")) {
    Log("font failed");
    return nullptr;
  }
  uintptr_t h = NewObject(GdiObjectRecord::kFont, 0, font);
  Log("font " + NameOf(h));
  return reinterpret_cast<HFONT>(h);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  uintptr_t h = Value(object);
  Dc* d = DcOf(dc);
  GdiObjectRecord* o = ObjectOf(h);
  bool brush = h == kStockBrush || (o && o->kind == GdiObjectRecord::kBrush);
  bool font = h == kStockFont || (o && o->kind == GdiObjectRecord::kFont);
  if (!d || (o && o->deleted) || (!brush && !font)) {
    Log("select " + NameOf(h) + " failed");
    if (d) M().misuse.push_back("SelectObject of " + std::string(o ? "a deleted" : "an unknown") +
                                " object");
    M().lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  uintptr_t& slot = brush ? d->brush : d->font;
  uintptr_t previous = slot;
  slot = h;
  Log("select " + NameOf(h) + " (was " + NameOf(previous) + ")");
  return reinterpret_cast<HGDIOBJ>(previous);
}

BOOL DeleteObject(HGDIOBJ object) {
  uintptr_t h = Value(object);
  if (h == kStockBrush || h == kStockPen || h == kStockFont) return TRUE;  // ignored
  GdiObjectRecord* o = ObjectOf(h);
  if (!o || o->deleted) {
    Log("delete " + NameOf(h) + " failed");
    M().misuse.push_back(o ? "a GDI object was deleted twice" : "DeleteObject of an unknown object");
    return FALSE;
  }
  // Wine lets the call succeed and deletes the object once it is deselected;
  // either way the program has lost track of what its dc holds.
  if (Selected(h))
    M().misuse.push_back("GDI object " + NameOf(h) + " deleted while still selected into a device context");
  o->deleted = true;
  Log("delete " + NameOf(h));
  return TRUE;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
  Dc* d = DcOf(dc);
  if (!d) return FALSE;
  G().rectangles.push_back({dc, left, top, right, bottom, reinterpret_cast<HGDIOBJ>(d->brush)});
  Log("rectangle " + std::to_string(left) + "," + std::to_string(top) + "," +
      std::to_string(right) + "," + std::to_string(bottom) + " with " + NameOf(d->brush));
  return TRUE;
}

int SetBkMode(HDC dc, int mode) {
  if (mode != TRANSPARENT && mode != OPAQUE) return 0;
  return SetAttribute(dc, &Dc::bkMode, mode, 0, "bkmode " + std::to_string(mode));
}

COLORREF SetTextColor(HDC dc, COLORREF color) {
  return SetAttribute(dc, &Dc::textColor, color, static_cast<COLORREF>(CLR_INVALID),
                      "color " + Rgb(color));
}

UINT SetTextAlign(HDC dc, UINT align) {
  return SetAttribute(dc, &Dc::align, align, static_cast<UINT>(GDI_ERROR),
                      "align " + std::to_string(align));
}

BOOL GetTextExtentPointA(HDC dc, LPCSTR text, int length, SIZE* size) {
  Dc* d = DcOf(dc);
  std::string shown = text && length > 0 ? std::string(text, length) : "";
  if (!d || !size || length < 0 || ShouldFail("GetTextExtentPointA")) {
    Log("measure " + shown + " failed");
    return FALSE;
  }
  *size = G().extentSet ? G().extent : SIZE{8 * length, 16};
  Log("measure " + shown);
  return TRUE;
}

BOOL TextOutA(HDC dc, int x, int y, LPCSTR text, int length) {
  Dc* d = DcOf(dc);
  if (!d || !text || length < 0) return FALSE;
  std::string shown(text, length);
  G().texts.push_back({dc, x, y, shown, d->textColor, reinterpret_cast<HGDIOBJ>(d->font), d->align,
                       d->bkMode});
  Log("text " + std::to_string(x) + "," + std::to_string(y) + " " + shown);
  return TRUE;
}
