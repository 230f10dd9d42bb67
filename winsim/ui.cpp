// Dialogs, the scripted user, and the shell's allocator and folder browser.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "winsim/machine.h"

namespace winsim {
namespace {

struct Ui {
  std::map<int, std::vector<int>> templates;
  std::deque<UserAction> actions;
  std::deque<std::pair<bool, std::string>> browses;  // (cancel, path)
  std::vector<DialogRecord> dialogs;
  std::vector<BrowseRecord> browseRecords;
  std::set<void*> shellBlocks;
  std::map<int, std::string> specialFolders;
  std::map<uintptr_t, bool> ended;  // per dialog window: EndDialog was called
  uintptr_t nextWindow = 0x20000;
};

// The user's answers to the questions of message boxes, for the whole run.
std::deque<int> answers;

Ui& U() {
  static Ui ui;
  return ui;
}

const uintptr_t kControlsPerDialog = 0x100;

DialogRecord* RecordOf(HWND window) {
  for (DialogRecord& d : U().dialogs)
    if (d.window == window && !d.destroyed) return &d;
  return nullptr;
}

// A control's window is its dialog's window plus its index + 1.
bool ControlOf(HWND control, DialogRecord** dialog, size_t* index) {
  uintptr_t v = reinterpret_cast<uintptr_t>(control);
  uintptr_t base = v - (v % kControlsPerDialog);
  DialogRecord* d = RecordOf(reinterpret_cast<HWND>(base));
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

DialogRecord* Open(LPCSTR templateName, HWND owner, bool modal) {
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

struct ShellMalloc : IMalloc {
  HRESULT QueryInterface(const void*, void**) override { return E_FAIL; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override {
    Checkpoint("IMalloc::Release");
    return 1;
  }
  void* Alloc(SIZE_T bytes) override {
    Checkpoint("IMalloc::Alloc");
    return Take(bytes);
  }
  // The shell's own allocations, inside calls that already passed the checkpoint.
  static void* Take(SIZE_T bytes) {
    void* p = std::malloc(bytes ? bytes : 1);
    U().shellBlocks.insert(p);
    return p;
  }
  void* Realloc(void*, SIZE_T) override { return nullptr; }
  void Free(void* p) override {
    Checkpoint("IMalloc::Free");
    if (!p) return;
    if (!U().shellBlocks.erase(p)) {
      M().misuse.push_back("shell allocator freed a block it did not give out");
      return;
    }
    std::free(p);
  }
  SIZE_T GetSize(void*) override { return 0; }
  int DidAlloc(void* p) override { return U().shellBlocks.count(p) ? 1 : 0; }
  void HeapMinimize() override {}
};

ShellMalloc shellMalloc;

}  // namespace

void ResetUi() {
  answers.clear();
  for (void* p : U().shellBlocks) std::free(p);
  U() = Ui();
}

void EndUiProcess() {
  for (void* p : U().shellBlocks) std::free(p);
  U().shellBlocks.clear();
  U().actions.clear();
  U().browses.clear();
  U().dialogs.clear();
  U().browseRecords.clear();
  U().ended.clear();
}

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

void QueueAnswer(int button) { answers.push_back(button); }

void DefineDialog(int templateId, const std::vector<int>& controls) {
  U().templates[templateId] = controls;
}
void RemoveDialog(int templateId) { U().templates.erase(templateId); }
void SetSpecialFolder(int csidl, const std::string& path) { U().specialFolders[csidl] = path; }
void RemoveSpecialFolder(int csidl) { U().specialFolders.erase(csidl); }
UserAction Press(int control) { return {UserAction::kPress, control}; }
UserAction Enter() { return {UserAction::kEnter, 0}; }
UserAction Escape() { return {UserAction::kEscape, 0}; }
void Script(const std::vector<UserAction>& actions) {
  U().actions.insert(U().actions.end(), actions.begin(), actions.end());
}
void QueueBrowse(const std::string& path) { U().browses.push_back({false, path}); }
void QueueBrowseCancel() { U().browses.push_back({true, ""}); }
const std::vector<DialogRecord>& Dialogs() { return U().dialogs; }
std::string DialogText(const DialogRecord& d, int control) {
  int i = IndexOfControl(d, control);
  return i < 0 ? "" : d.texts[i];
}
bool DialogEnabled(const DialogRecord& d, int control) {
  int i = IndexOfControl(d, control);
  return i >= 0 && d.enabled[i];
}
const std::vector<BrowseRecord>& Browses() { return U().browseRecords; }
int LiveShellAllocations() { return static_cast<int>(U().shellBlocks.size()); }

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
  DialogRecord* d = Open(templateName, owner, true);
  if (!d) return -1;
  Note("dialog " + std::to_string(d->templateId));
  HWND window = d->window;
  uintptr_t key = reinterpret_cast<uintptr_t>(window);
  U().ended[key] = false;
  proc(window, WM_INITDIALOG, 0, param);
  d = RecordOf(window);
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
    d = RecordOf(window);
    int index = IndexOfControl(*d, id);
    bool keyboard = a.kind != UserAction::kPress;
    if (!keyboard && (index < 0 || !d->enabled[index])) {
      d->ignoredPresses.push_back(id);
      continue;
    }
    proc(window, WM_COMMAND, static_cast<WPARAM>(id), 0);
  }
  d = RecordOf(window);
  d->destroyed = true;
  Note("dialog " + std::to_string(d->templateId) + " -> " + std::to_string(d->result));
  return d->result;
}

HWND CreateDialogParamA(HINSTANCE, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
  if (ShouldFail("CreateDialogParamA")) return nullptr;
  DialogRecord* d = Open(templateName, owner, false);
  if (!d) return nullptr;
  Note("modeless " + std::to_string(d->templateId));
  HWND window = d->window;
  proc(window, WM_INITDIALOG, 0, param);
  d = RecordOf(window);
  d->textsAtOpen = d->texts;
  d->enabledAtOpen = d->enabled;
  return window;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  Checkpoint("EndDialog");
  DialogRecord* d = RecordOf(dialog);
  if (!d || !d->modal) return FALSE;
  d->result = result;
  U().ended[reinterpret_cast<uintptr_t>(dialog)] = true;
  return TRUE;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  Checkpoint("SetDlgItemTextA");
  DialogRecord* d = RecordOf(dialog);
  int i = d ? IndexOfControl(*d, id) : -1;
  if (i < 0) return FALSE;
  d->texts[i] = text ? text : "";
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
  Checkpoint("GetDlgItem");
  DialogRecord* d = RecordOf(dialog);
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
  DialogRecord* d = RecordOf(window);
  if (!d) {
    M().misuse.push_back("DestroyWindow of a window that does not exist");
    return FALSE;
  }
  d->destroyed = true;
  Note("destroy " + std::to_string(d->templateId));
  return TRUE;
}

HRESULT SHGetMalloc(LPMALLOC* out) {
  if (ShouldFail("SHGetMalloc")) {
    *out = nullptr;
    return E_FAIL;
  }
  *out = &shellMalloc;
  return S_OK;
}

// An item id list here is the shell's own copy of the folder's path.
static PIDLIST_ABSOLUTE NewIdList(const std::string& path) {
  char* pidl = static_cast<char*>(ShellMalloc::Take(path.size() + 1));
  std::memcpy(pidl, path.c_str(), path.size() + 1);
  return reinterpret_cast<PIDLIST_ABSOLUTE>(pidl);
}

PIDLIST_ABSOLUTE SHBrowseForFolderA(BROWSEINFOA* info) {
  Checkpoint("SHBrowseForFolderA");
  U().browseRecords.push_back(
      {info->hwndOwner, info->lpszTitle ? info->lpszTitle : "", info->ulFlags, info->pidlRoot == nullptr});
  if (U().browses.empty()) {
    M().misuse.push_back("the folder browser opened with no scripted answer");
    return nullptr;
  }
  auto answer = U().browses.front();
  U().browses.pop_front();
  if (answer.first) return nullptr;
  const std::string& path = answer.second;
  std::string display = path.empty() ? "Control Panel" : path.substr(LastSeparator(path) + 1);
  if (display.empty()) display = path;
  if (info->pszDisplayName) {  // the caller's buffer is MAX_PATH by contract
    size_t n = std::min<size_t>(display.size(), MAX_PATH - 1);
    std::memcpy(info->pszDisplayName, display.data(), n);
    info->pszDisplayName[n] = '\0';
  }
  return NewIdList(path);
}

HRESULT SHGetSpecialFolderLocation(HWND owner, int csidl, PIDLIST_ABSOLUTE* pidl) {
  *pidl = nullptr;
  if (ShouldFail("SHGetSpecialFolderLocation")) return E_FAIL;
  Note("special folder " + std::to_string(csidl) + " owner " +
       std::to_string(reinterpret_cast<uintptr_t>(owner)));
  auto it = U().specialFolders.find(csidl);
  if (it == U().specialFolders.end()) return E_FAIL;
  *pidl = NewIdList(it->second);
  return S_OK;
}

BOOL SHGetPathFromIDListA(PCIDLIST_ABSOLUTE pidl, LPSTR path) {
  Checkpoint("SHGetPathFromIDListA");
  const char* p = reinterpret_cast<const char*>(pidl);
  size_t n = p ? std::strlen(p) : 0;
  if (n == 0 || n >= MAX_PATH) {
    if (path) path[0] = '\0';
    return FALSE;
  }
  std::memcpy(path, p, n + 1);
  return TRUE;
}
