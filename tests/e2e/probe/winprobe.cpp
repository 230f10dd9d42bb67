// winprobe: prints every visible top-level window of the Wine session it runs
// in, one JSON object a line, with its controls, so that the journeys can tell
// the installer's untitled dialogs apart, read what they show and find the X
// window to send keys to.
//
// For the tree of the shell's folder browser it also tells the selected item,
// whether it is expanded and the items under it, so that a journey walking the
// tree with keys can wait for each key to have taken effect.
//
// Usage: winprobe [EXE]   (only windows of processes whose image name is EXE)
//        winprobe --serve  (a listing for every line read, each ended by a line
//                           "end"; the journeys keep one running, since starting
//                           a Wine program costs seconds in an emulated machine)
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

std::map<DWORD, std::string> g_processNames;
std::map<DWORD, std::string> g_processMachines;
std::string g_only;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

void ReadProcessNames() {
  g_processNames.clear();
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32First(snap, &entry); ok; ok = Process32Next(snap, &entry))
    g_processNames[entry.th32ProcessID] = Lower(entry.szExeFile);
  CloseHandle(snap);
}

// Text as a JSON string; the window texts are read as Unicode, so that they
// come out the same whatever the user's code page.
std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c) & 0xFFFF);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Json(const std::string& ascii) { return Json(std::wstring(ascii.begin(), ascii.end())); }

// The text through WM_GETTEXT, which the system carries across processes (an
// edit control keeps its text to itself). A window whose thread does not
// answer within half a second (the installer pumps no messages while it writes
// files) gives the text that the system keeps for it instead.
std::string WindowText(HWND hwnd) {
  static wchar_t buffer[65536];
  const size_t size = sizeof buffer / sizeof buffer[0];
  DWORD_PTR copied = 0;
  if (SendMessageTimeoutW(hwnd, WM_GETTEXT, size, reinterpret_cast<LPARAM>(buffer),
                          SMTO_ABORTIFHUNG | SMTO_BLOCK, 500, &copied)) {
    if (copied >= size) copied = size - 1;
    buffer[copied] = L'\0';
  } else if (GetWindowTextW(hwnd, buffer, size) <= 0) {
    buffer[0] = L'\0';
  }
  return Json(std::wstring(buffer));
}

std::string ClassOf(HWND hwnd) {
  char name[256];
  if (!GetClassNameA(hwnd, name, sizeof name)) return "";
  return name;
}

// The processor a process's program was built for, read from the PE header of
// the image it runs: "i386", "amd64", another machine number, or "" when the
// process cannot be read. It tells which build of a program really ran.
std::string MachineOf(DWORD pid) {
  auto known = g_processMachines.find(pid);
  if (known != g_processMachines.end()) return known->second;
  std::string machine;
  char path[MAX_PATH];
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  DWORD n = process ? GetModuleFileNameExA(process, nullptr, path, sizeof path) : 0;
  if (process) CloseHandle(process);
  HANDLE file = n > 0 && n < sizeof path
                    ? CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr)
                    : INVALID_HANDLE_VALUE;
  if (file != INVALID_HANDLE_VALUE) {
    unsigned char head[4096];
    DWORD got = 0;
    if (ReadFile(file, head, sizeof head, &got, nullptr) && got >= 0x40) {
      DWORD pe = head[0x3c] | head[0x3d] << 8 | head[0x3e] << 16 |
                 static_cast<DWORD>(head[0x3f]) << 24;
      if (pe <= got - 6 && std::memcmp(head + pe, "PE\0\0", 4) == 0) {
        unsigned type = head[pe + 4] | head[pe + 5] << 8;
        char number[16];
        std::snprintf(number, sizeof number, "0x%04x", type);
        machine = type == 0x14c ? "i386" : type == 0x8664 ? "amd64" : number;
      }
    }
    CloseHandle(file);
  }
  g_processMachines[pid] = machine;
  return machine;
}

std::string Flag(bool value) { return value ? "true" : "false"; }

// Whether a control is an icon control that holds an icon (a message box
// without one keeps its icon control, empty).
bool HoldsIcon(HWND control) {
  if (ClassOf(control) != "Static" ||
      (GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
    return false;
  DWORD_PTR icon = 0;
  return SendMessageTimeoutA(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 500,
                             &icon) &&
         icon != 0;
}

// A tree view's items live in its own process: their texts are read through
// a TVITEMW and a text buffer placed in that process's memory. The layout of
// TVITEMW is this program's own, so only a process of the same bitness is
// read. Every message has a time-out, the first one unanswered or refused
// ends the reading ("null"), and the children read are bounded, so a busy or
// odd tree costs a listing one time-out at most, and never ends the probe.
class RemoteTree {
 public:
  explicit RemoteTree(HWND tree) : tree_(tree) {
    DWORD pid = 0;
    GetWindowThreadProcessId(tree, &pid);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                               PROCESS_QUERY_INFORMATION,
                           FALSE, pid);
    BOOL mine = FALSE, theirs = FALSE;
    if (!process_ || !IsWow64Process(GetCurrentProcess(), &mine) ||
        !IsWow64Process(process_, &theirs) || mine != theirs)
      return;
    remote_ = static_cast<char*>(VirtualAllocEx(process_, nullptr, kSize,
                                                MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
  ~RemoteTree() {
    if (remote_) VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
    if (process_) CloseHandle(process_);
  }
  RemoteTree(const RemoteTree&) = delete;
  RemoteTree& operator=(const RemoteTree&) = delete;

  bool usable() const { return remote_ != nullptr; }

  // TVM_GETNEXTITEM; false when the tree did not answer.
  bool Next(UINT relation, HTREEITEM from, HTREEITEM* item) {
    DWORD_PTR result = 0;
    if (!Send(TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(from), &result)) return false;
    *item = reinterpret_cast<HTREEITEM>(result);
    return true;
  }

  bool Read(HTREEITEM item, std::wstring* text, UINT* state) {
    TVITEMW asked = {};
    asked.mask = TVIF_HANDLE | TVIF_TEXT | TVIF_STATE;
    asked.hItem = item;
    asked.stateMask = TVIS_EXPANDED;
    asked.pszText = reinterpret_cast<LPWSTR>(remote_ + sizeof(TVITEMW));
    asked.cchTextMax = kTextChars;
    TVITEMW got = {};
    wchar_t buffer[kTextChars + 1];
    SIZE_T moved = 0;
    DWORD_PTR ok = 0;
    if (!WriteProcessMemory(process_, remote_, &asked, sizeof asked, &moved) ||
        moved != sizeof asked || !Send(TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote_), &ok) ||
        !ok || !ReadProcessMemory(process_, remote_, &got, sizeof got, &moved) ||
        moved != sizeof got)
      return false;
    // A tree may answer with a text of its own rather than fill the buffer.
    if (got.pszText != asked.pszText ||
        !ReadProcessMemory(process_, asked.pszText, buffer, kTextChars * sizeof(wchar_t), &moved))
      return false;
    buffer[kTextChars] = L'\0';
    *text = buffer;
    *state = got.state;
    return true;
  }

 private:
  static constexpr int kTextChars = 260;
  static constexpr SIZE_T kSize = sizeof(TVITEMW) + kTextChars * sizeof(wchar_t);

  bool Send(UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result) {
    return SendMessageTimeoutW(tree_, message, wparam, lparam, SMTO_ABORTIFHUNG | SMTO_BLOCK, 500,
                               result) != 0;
  }

  HWND tree_;
  HANDLE process_ = nullptr;
  char* remote_ = nullptr;
};

// {"selected":TEXT or null,"expanded":BOOL,"children":[TEXT...]}: the items
// under the selected one as the tree holds them now (filled when it is first
// expanded), or null when the tree cannot be read.
std::string TreeState(HWND control) {
  const int kMostChildren = 200;
  RemoteTree tree(control);
  HTREEITEM selected = nullptr;
  if (!tree.usable() || !tree.Next(TVGN_CARET, nullptr, &selected)) return "null";
  if (!selected) return "{\"selected\":null,\"expanded\":false,\"children\":[]}";
  std::wstring text;
  UINT state = 0;
  if (!tree.Read(selected, &text, &state)) return "null";
  std::string out = "{\"selected\":" + Json(text) +
                    ",\"expanded\":" + Flag((state & TVIS_EXPANDED) != 0) + ",\"children\":[";
  HTREEITEM child = nullptr;
  if (!tree.Next(TVGN_CHILD, selected, &child)) return "null";
  for (int n = 0; child && n < kMostChildren; ++n) {
    UINT ignored = 0;
    if (!tree.Read(child, &text, &ignored) || !tree.Next(TVGN_NEXT, child, &child)) return "null";
    out += (n ? "," : "") + Json(text);
  }
  return out + "]}";
}

BOOL CALLBACK AddControl(HWND child, LPARAM param) {
  auto* out = reinterpret_cast<std::string*>(param);
  if (out->back() != '[') *out += ",";
  char id[128];
  RECT r = {};
  GetWindowRect(child, &r);
  std::snprintf(id, sizeof id, "%d,\"rect\":[%ld,%ld,%ld,%ld]",
                static_cast<int>(static_cast<short>(GetDlgCtrlID(child))), r.left, r.top, r.right,
                r.bottom);
  *out += "{\"id\":" + std::string(id) + ",\"class\":" + Json(ClassOf(child)) +
          ",\"text\":" + WindowText(child) + ",\"enabled\":" + Flag(IsWindowEnabled(child)) +
          ",\"visible\":" + Flag(IsWindowVisible(child)) +
          ",\"icon\":" + Flag(HoldsIcon(child));
  if (ClassOf(child) == "SysTreeView32") *out += ",\"tree\":" + TreeState(child);
  *out += "}";
  return TRUE;
}

BOOL CALLBACK PrintWindow(HWND hwnd, LPARAM) {
  if (!IsWindowVisible(hwnd)) return TRUE;
  DWORD pid = 0;
  DWORD tid = GetWindowThreadProcessId(hwnd, &pid);
  std::string exe = g_processNames.count(pid) ? g_processNames[pid] : "";
  if (!g_only.empty() && exe != g_only) return TRUE;

  RECT r = {};
  GetWindowRect(hwnd, &r);
  // winex11 keeps the X window of every top-level window in this property.
  auto xid = reinterpret_cast<unsigned long long>(GetPropA(hwnd, "__wine_x11_whole_window"));
  GUITHREADINFO gui = {};
  gui.cbSize = sizeof gui;
  int focus = 0;
  if (GetGUIThreadInfo(tid, &gui) && gui.hwndFocus && IsChild(hwnd, gui.hwndFocus))
    focus = static_cast<short>(GetDlgCtrlID(gui.hwndFocus));

  char head[512];
  std::snprintf(head, sizeof head,
                "{\"hwnd\":%llu,\"xid\":%llu,\"pid\":%lu,\"rect\":[%ld,%ld,%ld,%ld],\"focus\":%d,",
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hwnd)), xid,
                static_cast<unsigned long>(pid), r.left, r.top, r.right, r.bottom, focus);
  std::string line = head;
  // The owner, if any: the installer's dialogs belong to its backdrop window.
  HWND owner = GetWindow(hwnd, GW_OWNER);
  char ownerField[64];
  std::snprintf(ownerField, sizeof ownerField, "\"owner\":%llu,",
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(owner)));
  line += ownerField;
  line += "\"owner_class\":" + Json(owner ? ClassOf(owner) : "") + ",";
  // The title as the system keeps it: readable even while the window's
  // thread is busy.
  wchar_t title[1024];
  if (GetWindowTextW(hwnd, title, sizeof title / sizeof title[0]) <= 0) title[0] = L'\0';
  line += "\"exe\":" + Json(exe) + ",\"machine\":" + Json(MachineOf(pid)) +
          ",\"class\":" + Json(ClassOf(hwnd)) +
          ",\"title\":" + Json(std::wstring(title)) + ",\"enabled\":" + Flag(IsWindowEnabled(hwnd)) +
          ",\"maximized\":" + Flag(IsZoomed(hwnd)) +
          ",\"foreground\":" + Flag(hwnd == GetForegroundWindow()) + ",\"controls\":[";
  EnumChildWindows(hwnd, AddControl, reinterpret_cast<LPARAM>(&line));
  line += "]}\n";
  std::fputs(line.c_str(), stdout);
  return TRUE;
}

void PrintListing() {
  // A process number may be taken again by a new process.
  g_processMachines.clear();
  ReadProcessNames();
  EnumWindows(PrintWindow, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--serve") == 0) {
    char request[256];
    while (std::fgets(request, sizeof request, stdin)) {
      PrintListing();
      std::fputs("end\n", stdout);
      std::fflush(stdout);
    }
    return 0;
  }
  if (argc > 1) g_only = Lower(argv[1]);
  PrintListing();
  std::fflush(stdout);
  return 0;
}
