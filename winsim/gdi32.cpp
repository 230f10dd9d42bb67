// gdi32: device contexts, brushes and fonts, and the text and rectangles a
// paint draws, every call journaled.
#include <cstring>
#include <map>

#include "winsim/machine.h"

namespace winsim {
namespace {

const uintptr_t kFirstDc = 0x20000000;
const uintptr_t kFirstObject = 0x30000000;
const uintptr_t kStockBrush = 0x3F000001;
const uintptr_t kStockPen = 0x3F000002;
const uintptr_t kStockFont = 0x3F000003;

struct Dc {
  uintptr_t brush = kStockBrush;
  uintptr_t pen = kStockPen;
  uintptr_t font = kStockFont;
  int bkMode = OPAQUE;
  COLORREF textColor = RGB(0, 0, 0);
  UINT align = TA_LEFT | TA_TOP;
};

struct Gdi {
  bool extentSet = false;
  SIZE extent = {0, 0};
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

}  // namespace

void SetTextExtent(LONG width, LONG height) {
  G().extentSet = true;
  G().extent = {width, height};
}
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
