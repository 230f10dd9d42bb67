#include "installer/backdrop/backdrop.h"

#include <climits>
#include <cstring>
#include <map>

#include "fixture.h"

namespace {

const char kTitle[] = "Quillmark 2003";
const char kTagline[] = "Professional Screenwriting Software";

class Backdrop : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    winsim::DefineIcon(IDI_QUILLMARK);
  }
  // Paints on a fresh device context, as the system's erase would.
  static HDC Paint() {
    HDC dc = winsim::OpenDc();
    PaintBackdrop(dc);
    winsim::CloseDc(dc);
    return dc;
  }
  static std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const winsim::TextOutRecord& t : winsim::TextOuts()) out.push_back(t.text);
    return out;
  }
  // The x of every pattern copy, row by row (rows keyed by y).
  static std::map<int, std::vector<int>> Rows() {
    std::map<int, std::vector<int>> rows;
    for (const winsim::TextOutRecord& t : winsim::TextOuts())
      if (t.text == "QUILLMARK") rows[t.y].push_back(t.x);
    return rows;
  }
  static std::vector<std::string> JournalWithoutPattern() {
    std::vector<std::string> out;
    for (const std::string& line : winsim::GdiJournal())
      if (line.compare(0, 5, "text ") != 0 || line.find("QUILLMARK") == std::string::npos)
        out.push_back(line);
    return out;
  }
  static LOGFONTA Font(LONG height, BYTE italic, const char* face) {
    LOGFONTA f;
    std::memset(&f, 0, sizeof f);
    f.lfHeight = height;
    f.lfItalic = italic;
    std::strcpy(f.lfFaceName, face);
    return f;
  }
};

// The class and the window are made with the module, so that the one is found
// for the other, and with the procedure, so that it paints; what else of them
// matters is what the user sees.
TEST_F(Backdrop, ItCoversTheScreenWithTheProgramsIconAndIsPaintedBeforeItIsReturned) {
  winsim::SetScreenSize(800, 600);
  HWND window = CreateBackdropWindow(winsim::ModuleHandle());
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(winsim::WindowClasses().size(), 1u);
  const WNDCLASSEXA& c = winsim::WindowClasses()[0].fields;
  const winsim::WindowRecord* w = winsim::WindowOf(window);
  ASSERT_NE(w, nullptr);
  auto value = [](const void* p) { return reinterpret_cast<uintptr_t>(p); };
  uintptr_t icon = value(LoadIconA(winsim::ModuleHandle(), MAKEINTRESOURCEA(IDI_QUILLMARK)));
  ASSERT_NE(icon, 0u);
  const struct {
    uintptr_t actual, expected;
    const char* why;
  } fields[] = {
      {c.style, CS_VREDRAW | CS_HREDRAW, "drawn whole again when the screen's size changes"},
      {value(c.hIcon), icon, "the program's icon in the task bar"},
      {value(c.hIconSm), icon, "and in the task switcher"},
      {value(c.hCursor), value(LoadCursorA(nullptr, IDC_ARROW)), "the arrow over it"},
      {value(c.hbrBackground), 0, "no class brush to flash white before the paint"},
      {winsim::WindowClasses()[0].hasMenuName, false, "no menu bar"},
      {value(w->menu), 0, "nor a menu of its own"},
      {w->style, WS_POPUP | WS_DLGFRAME, "a popup with a thin frame and no caption"},
      {w->exStyle, 0, "not topmost: the dialogs and other programs come above it"},
      {value(w->parent), 0, "a window of its own, owned by nothing"},
      {!w->title.empty(), false, "no title"},
  };
  for (const auto& f : fields) EXPECT_EQ(f.actual, f.expected) << f.why;
  EXPECT_EQ(w->className, "Quillmark") << "the name other programs find it by";
  EXPECT_EQ(std::vector<int>({w->x, w->y, w->width, w->height}), std::vector<int>({0, 0, 800, 600}))
      << "the whole screen";
  EXPECT_EQ(w->shows, std::vector<int>{SW_SHOWMAXIMIZED});
  // Painted once, before CreateBackdropWindow returned, through the erase.
  std::vector<std::pair<UINT, LRESULT>> answered;
  for (const winsim::MessageRecord& m : w->messages) answered.push_back({m.message, m.result});
  EXPECT_EQ(answered, (std::vector<std::pair<UINT, LRESULT>>{
                          {WM_NCCREATE, TRUE}, {WM_CREATE, 0}, {WM_ERASEBKGND, 1}, {WM_PAINT, 0}}));
  EXPECT_EQ(w->paints, 1);
  ASSERT_FALSE(winsim::Rectangles().empty());
  EXPECT_EQ(winsim::Rectangles()[0].right, 800);
}

TEST_F(Backdrop, WithoutItsClassOrItsWindowThereIsNoBackdrop) {
  struct Case {
    const char* call;  // made to fail; "" for a class left over from before
  } cases[] = {{"RegisterClassExA"}, {"CreateWindowExA"}, {""}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.call);
    Fresh();
    if (*k.call) {
      winsim::FailCall(k.call, 1, ERROR_NOT_ENOUGH_MEMORY);
    } else {
      ASSERT_NE(CreateBackdropWindow(winsim::ModuleHandle()), nullptr);
    }
    size_t windows = winsim::Windows().size();
    size_t texts = winsim::TextOuts().size();
    EXPECT_EQ(CreateBackdropWindow(winsim::ModuleHandle()), nullptr);
    EXPECT_EQ(winsim::Windows().size(), windows);
    EXPECT_EQ(winsim::TextOuts().size(), texts) << "nothing painted";
  }
}

TEST_F(Backdrop, OnePaintDrawsEveryStepInOrderAndLeavesNothingBehind) {
  winsim::SetTextExtent(80, 18);
  Paint();
  EXPECT_EQ(JournalWithoutPattern(), (std::vector<std::string>{
      "brush #1 64,0,0", "select #1 (was stock brush)", "rectangle 0,0,1024,768 with #1",
      "bkmode 1", "font #2", "select #2 (was stock font)", "color 56,0,0", "measure QUILLMARK",
      "select stock font (was #2)", "delete #2",
      "font #3", "select #3 (was stock font)", "align 8",
      "color 32,0,0", "text 18,66 Quillmark 2003", "color 240,240,240", "text 12,60 Quillmark 2003",
      "select stock font (was #3)", "delete #3",
      "font #4", "select #4 (was stock font)", "align 0",
      "color 32,0,0", "text 18,66 Professional Screenwriting Software",
      "color 240,240,240", "text 12,60 Professional Screenwriting Software",
      "select stock brush (was #1)", "delete #1", "select stock font (was #4)", "delete #4"}));

  const std::vector<winsim::GdiObjectRecord>& objects = winsim::GdiObjects();
  ASSERT_EQ(objects.size(), 4u);  // the brush's colour is in the journal above
  LOGFONTA expected[] = {Font(-18, 1, "Symbol"), Font(-48, 0, " MS Sans Serif"),
                         Font(-36, 0, " MS Sans Serif")};
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(std::memcmp(&objects[i + 1].font, &expected[i], sizeof(LOGFONTA)), 0) << "font " << i + 2;

  // Each text in its own font, colour and alignment, over a transparent background.
  for (const winsim::TextOutRecord& t : winsim::TextOuts()) {
    SCOPED_TRACE(t.text + " at " + std::to_string(t.x) + "," + std::to_string(t.y));
    EXPECT_EQ(t.bkMode, TRANSPARENT);
    int font = t.text == "QUILLMARK" ? 1 : t.text == kTitle ? 2 : 3;
    EXPECT_EQ(t.font, objects[font].handle);
    if (font == 1) {
      EXPECT_EQ(t.color, RGB(56, 0, 0));
    } else {
      EXPECT_EQ(t.align, static_cast<UINT>(font == 2 ? TA_LEFT | TA_BOTTOM : TA_LEFT | TA_TOP));
    }
  }
}

TEST_F(Backdrop, PatternRowsCoverTheScreenEachShiftedLeft) {
  winsim::SetTextExtent(80, 18);
  Paint();
  std::map<int, std::vector<int>> rows = Rows();
  ASSERT_EQ(rows.size(), 41u);
  EXPECT_EQ(rows.begin()->first, 0);
  EXPECT_EQ(rows.rbegin()->first, 760);
  // Steps of w - 1 = 79; copies wholly left of the window (x + 80 < 0) are skipped.
  EXPECT_EQ(rows[0], (std::vector<int>{0, 79, 158, 237, 316, 395, 474, 553, 632, 711, 790, 869, 948}));
  EXPECT_EQ(rows[19], (std::vector<int>{-16, 63, 142, 221, 300, 379, 458, 537, 616, 695, 774, 853, 932, 1011}));
  EXPECT_EQ(rows[38], (std::vector<int>{-32, 47, 126, 205, 284, 363, 442, 521, 600, 679, 758, 837, 916, 995}));
  EXPECT_EQ(rows[760].front(), -8);  // -3800 + 48 * 79

  // Whatever the width: row k holds exactly the copies from -95k on, in steps
  // of w - 1, that reach into the window.
  for (LONG w : {2, 79, 95, 96, 1023, 1024, 1100}) {
    SCOPED_TRACE(w);
    Fresh();
    winsim::SetTextExtent(w, 18);
    Paint();
    rows = Rows();
    ASSERT_EQ(rows.size(), 41u);
    for (const auto& row : rows) {
      long long start = -95LL * (row.first / 19);
      ASSERT_EQ(row.first % 19, 0);
      std::vector<int> want;
      for (long long x = start; x < 1024; x += w - 1)
        if (x + w >= 0) want.push_back(static_cast<int>(x));
      EXPECT_EQ(row.second, want) << "row at y " << row.first;
    }
  }
}

TEST_F(Backdrop, WithoutRoomOrAUsableWidthThereIsNoPatternButTheRestIsDrawn) {
  struct Case {
    int width, height;
    LONG textWidth;  // -1: the measurement fails
  } cases[] = {{1024, 0, 80}, {1024, -5, 80}, {1024, 768, 1}, {1024, 768, 0},
               {1024, 768, -40}, {1024, 768, -1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.height) + " high, text " + std::to_string(k.textWidth));
    Fresh();
    winsim::SetScreenSize(k.width, k.height);
    if (k.textWidth == -1)
      winsim::FailCall("GetTextExtentPointA", 1, ERROR_INVALID_PARAMETER);
    else
      winsim::SetTextExtent(k.textWidth, 18);
    Paint();  // returns: a paint that never ended would hang here
    EXPECT_EQ(Texts(), (std::vector<std::string>{kTitle, kTitle, kTagline, kTagline}));
    ASSERT_EQ(winsim::Rectangles().size(), 1u);
    EXPECT_EQ(winsim::Rectangles()[0].bottom, k.height);
  }
}

TEST_F(Backdrop, RowsOnAnAbsurdlyWideScreenDoNotWrapAround) {
  winsim::SetScreenSize(INT_MAX, 40);
  winsim::SetTextExtent(0x7FFFFF00, 18);  // one copy reaches nearly across
  Paint();
  std::map<int, std::vector<int>> rows = Rows();
  EXPECT_EQ(rows[0], (std::vector<int>{0, 2147483391}));
  EXPECT_EQ(rows[19], (std::vector<int>{-95, 2147483296}));
  EXPECT_EQ(rows[38], (std::vector<int>{-190, 2147483201}));
  EXPECT_EQ(rows.size(), 3u);
}

TEST_F(Backdrop, WhatCannotBeMadeIsDrawnWithoutAndNeverDeleted) {
  struct Case {
    const char* call;
    int nth;
    const char* fallback;  // the text drawn with the dc's own font, or "" for the fill
  } cases[] = {{"CreateFontIndirectA", 1, "QUILLMARK"},
               {"CreateFontIndirectA", 2, kTitle},
               {"CreateFontIndirectA", 3, kTagline},
               {"CreateSolidBrush", 1, ""}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.call) + " " + std::to_string(k.nth));
    Fresh();
    winsim::FailCall(k.call, k.nth, ERROR_NOT_ENOUGH_MEMORY);
    Paint();
    EXPECT_EQ(winsim::GdiObjects().size(), 3u);
    bool sawFallback = false;
    for (const winsim::TextOutRecord& t : winsim::TextOuts()) {
      EXPECT_EQ(t.font == winsim::StockFont(), t.text == k.fallback) << t.text;
      sawFallback |= t.text == k.fallback;
    }
    EXPECT_EQ(sawFallback, *k.fallback != '\0') << "the text is still drawn";
    ASSERT_EQ(winsim::Rectangles().size(), 1u);
    EXPECT_EQ(winsim::Rectangles()[0].brush == winsim::StockBrush(), *k.fallback == '\0');
    // Every failure here must not end in a select or delete of nothing.
    for (const std::string& line : winsim::GdiJournal())
      EXPECT_TRUE(line.find("failed") == std::string::npos ||
                  (line.find("select") == std::string::npos && line.find("delete") == std::string::npos))
          << line;
  }
}

TEST_F(Backdrop, TheProcedurePaintsOnEraseAndLeavesTheRestToTheSystem) {
  HDC dc = winsim::OpenDc();
  EXPECT_EQ(BackdropWindowProc(nullptr, WM_CREATE, 0, 0), 0);
  EXPECT_FALSE(winsim::QuitPosted());
  EXPECT_EQ(BackdropWindowProc(nullptr, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0), 1);
  ASSERT_FALSE(winsim::TextOuts().empty());
  EXPECT_EQ(winsim::TextOuts().back().dc, dc) << "drawn on the dc the erase brings";
  EXPECT_EQ(BackdropWindowProc(nullptr, WM_NCCREATE, 0, 0), TRUE) << "the default answer";
  EXPECT_EQ(BackdropWindowProc(nullptr, WM_DESTROY, 0, 0), 0);
  EXPECT_TRUE(winsim::QuitPosted());
  EXPECT_EQ(winsim::QuitCode(), 0);
  winsim::CloseDc(dc);
}

// The checks every case relies on: a paint that leaves an object behind or
// uses one it deleted does not pass unnoticed.
TEST_F(Backdrop, TheSimulationCatchesObjectsLeftSelectedOrUsedAfterDeletion) {
  struct Case {
    const char* misuse;
    void (*paint)(HDC dc);
  } cases[] = {
      {"deleted while still selected", [](HDC dc) {
         HBRUSH b = CreateSolidBrush(RGB(1, 2, 3));
         SelectObject(dc, b);
         DeleteObject(b);
       }},
      {"given back with #1 still selected", [](HDC dc) {
         LOGFONTA f = Font(-18, 0, "Symbol");
         SelectObject(dc, CreateFontIndirectA(&f));
       }},
      {"SelectObject of a deleted object", [](HDC dc) {
         HBRUSH b = CreateSolidBrush(RGB(1, 2, 3));
         DeleteObject(b);
         EXPECT_EQ(SelectObject(dc, b), nullptr);
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.misuse);
    winsim::Reset();
    HDC dc = winsim::OpenDc();
    k.paint(dc);
    winsim::CloseDc(dc);
    ASSERT_FALSE(winsim::Misuse().empty());
    EXPECT_NE(winsim::Misuse()[0].find(k.misuse), std::string::npos) << winsim::Misuse()[0];
  }
  winsim::Reset();
}

}  // namespace
