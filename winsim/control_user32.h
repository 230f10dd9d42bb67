// Test-side control of user32: message boxes and the user's answers, dialogs
// and the scripted user who works them, window classes and windows with the
// messages they were sent, the module's icons and the screen.
#pragma once

#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

// Message boxes, in the order shown.
struct Notice {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
const std::vector<Notice>& Notices();

// The scripted user's answers (IDYES, IDNO) to message boxes that ask, in
// turn; a box with only OK takes none. A question with no answer left is
// answered IDNO and reported as misuse.
void QueueAnswer(int button);

// Dialog templates the module carries: the control ids of each, in template
// order. A template not defined here cannot be created (DialogBoxParamA -1).
void DefineDialog(int templateId, const std::vector<int>& controls);
void RemoveDialog(int templateId);

// The scripted user. Each action is taken in turn by whichever modal dialog
// is up. A dialog left with no action ends with -1 and is reported as misuse.
struct UserAction {
  enum Kind { kPress, kEnter, kEscape } kind;
  int control;
};
UserAction Press(int control);
UserAction Enter();
UserAction Escape();
void Script(const std::vector<UserAction>& actions);

struct DialogRecord {
  int templateId;
  HWND window;
  HWND owner;
  bool modal;
  INT_PTR result;
  bool destroyed;
  std::vector<int> controls;
  std::vector<std::string> textsAtOpen;  // per control, after WM_INITDIALOG
  std::vector<bool> enabledAtOpen;
  std::vector<std::string> texts;        // now
  std::vector<bool> enabled;
  std::vector<int> ignoredPresses;       // presses on disabled controls
};
const std::vector<DialogRecord>& Dialogs();
std::string DialogText(const DialogRecord& d, int control);
bool DialogEnabled(const DialogRecord& d, int control);

// Icon groups the module carries (a fresh machine carries none).
void DefineIcon(WORD id);

// The screen GetSystemMetrics reports; a fresh machine has 1024 x 768.
void SetScreenSize(int width, int height);

struct WindowClassRecord {
  WNDCLASSEXA fields;      // as passed; the two texts below are copies
  std::string className;
  bool hasMenuName;
  std::string menuName;
};
const std::vector<WindowClassRecord>& WindowClasses();

struct MessageRecord {
  UINT message;
  WPARAM wParam;
  LRESULT result;
};

struct WindowRecord {
  HWND window;
  DWORD exStyle;
  std::string className;
  bool hasTitle;
  std::string title;
  DWORD style;
  int x, y, width, height;
  HWND parent;
  HMENU menu;
  HINSTANCE instance;
  LPVOID param;
  bool visible;
  bool destroyed;
  std::vector<int> shows;                // every ShowWindow command, in order
  std::vector<MessageRecord> messages;   // every message its procedure answered
  int paints;                            // WM_PAINTs that reached the default painting
};
const std::vector<WindowRecord>& Windows();
const WindowRecord* WindowOf(HWND window);  // null for a window that was never made
bool QuitPosted();
int QuitCode();

}  // namespace winsim
