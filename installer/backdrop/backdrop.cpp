#include "installer/backdrop/backdrop.h"

#include <cstring>

#include "core/path.h"
#include "resources/resource_ids.h"

static const char kClassName[] = "Quillmark";
static const char kPattern[] = "QUILLMARK";
static const int kPatternLength = 9;
static const char kTitle[] = "Quillmark 2003";
static const char kTagline[] = "Professional Screenwriting Software";
// The face name starts with a blank, as the product has always asked for it;
// the font mapper picks whatever face comes closest.
static const char kTitleFace[] = " MS Sans Serif";

static const COLORREF kFillColour = RGB(64, 0, 0);
static const COLORREF kPatternColour = RGB(56, 0, 0);
static const COLORREF kShadowColour = RGB(32, 0, 0);
static const COLORREF kTextColour = RGB(240, 240, 240);
static const int kRowSpacing = 19;
static const int kRowShift = 95;

HWND CreateBackdropWindow(HINSTANCE instance) {
  WNDCLASSEXA wc;
  std::memset(&wc, 0, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.style = CS_VREDRAW | CS_HREDRAW;
  wc.lpfnWndProc = BackdropWindowProc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = 0;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_QUILLMARK));
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = nullptr;  // the procedure paints every pixel itself
  wc.lpszMenuName = nullptr;
  wc.lpszClassName = kClassName;
  wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_QUILLMARK));
  if (!RegisterClassExA(&wc)) return nullptr;

  HWND window = CreateWindowExA(0, kClassName, "", WS_POPUP | WS_DLGFRAME, 0, 0,
                                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                nullptr, nullptr, instance, nullptr);
  if (!window) return nullptr;
  ShowWindow(window, SW_SHOWMAXIMIZED);
  UpdateWindow(window);
  return window;
}

LRESULT CALLBACK BackdropWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_ERASEBKGND:
      PaintBackdrop(reinterpret_cast<HDC>(wParam));
      return 1;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

// A font description that is all zero but for its height, slant and face.
static void DescribeFont(LOGFONTA* font, LONG height, BYTE italic, const char* face) {
  std::memset(font, 0, sizeof *font);
  font->lfHeight = height;
  font->lfItalic = italic;
  CopyText(font->lfFaceName, sizeof font->lfFaceName, face);
}

// Selects `object` into `dc` and returns what it displaced; nothing for an
// object that could not be made, so the dc keeps drawing with what it has.
static HGDIOBJ Use(HDC dc, HGDIOBJ object) { return object ? SelectObject(dc, object) : nullptr; }

// Puts back what `object` displaced and deletes it; nothing for an object
// that was never made.
static void Discard(HDC dc, HGDIOBJ object, HGDIOBJ displaced) {
  if (!object) return;
  if (displaced) SelectObject(dc, displaced);
  DeleteObject(object);
}

// Rows 19 pixels apart, each starting 95 pixels further left than the one
// above; within a row the copies overlap by one pixel, and copies wholly left
// of the window are not drawn. A text 1 pixel wide or less would never move
// a row on: then there is no pattern at all. The arithmetic is 64-bit so that
// no screen size, however large, can wrap a row's position around.
static void PaintPattern(HDC dc, int width, int height, LONG textWidth) {
  if (textWidth <= 1) return;
  const long long step = static_cast<long long>(textWidth) - 1;
  for (long long y = 0, rowStart = 0; y < height; y += kRowSpacing, rowStart -= kRowShift) {
    for (long long x = rowStart; x < width; x += step) {
      if (x + textWidth >= 0)
        TextOutA(dc, static_cast<int>(x), static_cast<int>(y), kPattern, kPatternLength);
    }
  }
}

// The text's shadow 6 pixels right and down, then the text itself.
static void DrawShadowedText(HDC dc, const char* text) {
  int length = static_cast<int>(std::strlen(text));
  SetTextColor(dc, kShadowColour);
  TextOutA(dc, 18, 66, text, length);
  SetTextColor(dc, kTextColour);
  TextOutA(dc, 12, 60, text, length);
}

void PaintBackdrop(HDC dc) {
  // The screen's size, not the window's: the picture always covers the screen.
  int width = GetSystemMetrics(SM_CXSCREEN);
  int height = GetSystemMetrics(SM_CYSCREEN);

  HBRUSH fill = CreateSolidBrush(kFillColour);
  HGDIOBJ previousBrush = Use(dc, fill);
  Rectangle(dc, 0, 0, width, height);
  SetBkMode(dc, TRANSPARENT);

  LOGFONTA font;
  DescribeFont(&font, -18, 1, "Symbol");
  HFONT patternFont = CreateFontIndirectA(&font);
  HGDIOBJ previousFont = Use(dc, patternFont);
  SetTextColor(dc, kPatternColour);
  SIZE extent = {0, 0};
  if (GetTextExtentPointA(dc, kPattern, kPatternLength, &extent))
    PaintPattern(dc, width, height, extent.cx);
  Discard(dc, patternFont, previousFont);

  DescribeFont(&font, -48, 0, kTitleFace);
  HFONT titleFont = CreateFontIndirectA(&font);
  previousFont = Use(dc, titleFont);
  SetTextAlign(dc, TA_LEFT | TA_BOTTOM);  // the title stands on the line y = 60
  DrawShadowedText(dc, kTitle);
  Discard(dc, titleFont, previousFont);

  font.lfHeight = -36;
  HFONT taglineFont = CreateFontIndirectA(&font);
  previousFont = Use(dc, taglineFont);
  SetTextAlign(dc, TA_LEFT | TA_TOP);  // the tagline hangs from it
  DrawShadowedText(dc, kTagline);
  Discard(dc, fill, previousBrush);
  Discard(dc, taglineFont, previousFont);
}
