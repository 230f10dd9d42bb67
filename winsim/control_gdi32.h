// Test-side control of gdi32: device contexts as a paint gets them, the
// brushes and fonts made, and a journal of every GDI call and every piece of
// text drawn.
#pragma once

#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

// The extent every GetTextExtentPointA answers from now on. Until set, a
// text measures 8 pixels a character and 16 high.
void SetTextExtent(LONG width, LONG height);

// A device context of the screen, as a paint would get one: the stock white
// brush, black pen and system font selected, opaque background, black text,
// TA_LEFT | TA_TOP. CloseDc gives it back; an object of the program's own
// still selected into it then is reported as misuse.
HDC OpenDc();
void CloseDc(HDC dc);
HGDIOBJ StockBrush();
HGDIOBJ StockFont();

struct GdiObjectRecord {
  HGDIOBJ handle;
  enum Kind { kBrush, kFont } kind;
  COLORREF color;  // brushes
  LOGFONTA font;   // fonts, as passed
  bool deleted;
};
const std::vector<GdiObjectRecord>& GdiObjects();  // in creation order
int LiveGdiObjects();  // created and not yet deleted

struct RectangleRecord {
  HDC dc;
  int left, top, right, bottom;
  HGDIOBJ brush;
};
const std::vector<RectangleRecord>& Rectangles();

struct TextOutRecord {
  HDC dc;
  int x, y;
  std::string text;
  COLORREF color;
  HGDIOBJ font;
  UINT align;
  int bkMode;
};
const std::vector<TextOutRecord>& TextOuts();

// Every GDI call in order, one line each, objects named "#1", "#2", ... in
// creation order and "stock brush", "stock font":
//   "brush #1 64,0,0"  "font #2"  "select #2 (was stock font)"  "delete #2"
//   "rectangle 0,0,1024,768 with #1"  "bkmode 1"  "color 56,0,0"
//   "align 8"  "measure QUILLMARK"  "text 12,60 Quillmark 2003"
// A call that fails ends in " failed".
const std::vector<std::string>& GdiJournal();

}  // namespace winsim
