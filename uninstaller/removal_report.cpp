#include "uninstaller/removal_report.h"

#include <cstdio>
#include <cstring>

#include "core/path.h"

const char kUninstallCaption[] = "Quillmark 2003 Uninstall";

namespace {

// Each list names its first entries; the rest are counted.
const int kListed = 12;
const size_t kReasonSize = 160;
const size_t kEntrySize = kPathSize + kReasonSize;

struct RemovalReport {
  bool recordRemoved;
  int remaining;
  char remainingEntries[kListed][kEntrySize];
  int kept;
  char keptEntries[kListed][kPathSize];
};

RemovalReport g_report;

// Appends `line` and a line break when both fit whole; false, with `text`
// unchanged, when they do not.
bool AppendLine(char* text, size_t size, const char* indent, const char* line) {
  size_t have = std::strlen(text);
  if (have + std::strlen(indent) + std::strlen(line) + 2 >= size) return false;
  AppendText(text, size, indent);
  AppendText(text, size, line);
  AppendText(text, size, "\n");
  return true;
}

// The first entries of a list, one a line, and how many more there are.
void AppendEntries(char* text, size_t size, const char* const* entries, int count) {
  int listed = count < kListed ? count : kListed;
  int shown = 0;
  while (shown < listed && AppendLine(text, size, "    ", entries[shown])) ++shown;
  if (shown < count) {
    char more[48];
    std::snprintf(more, sizeof more, "and %d more", count - shown);
    AppendLine(text, size, "    ", more);
  }
}

void AppendKept(char* text, size_t size, const char* installFolder) {
  if (g_report.kept == 0) return;
  const char* names[kListed];
  for (int i = 0; i < kListed; ++i) names[i] = g_report.keptEntries[i];
  AppendLine(text, size, "", "");
  AppendLine(text, size, "", "The folder");
  AppendLine(text, size, "    ", installFolder);
  AppendLine(text, size, "", "was kept, with these files that did not come with Quillmark 2003:");
  AppendEntries(text, size, names, g_report.kept);
}

}  // namespace

void DescribeError(DWORD error, char* reason, size_t size) {
  if (error == ERROR_SHARING_VIOLATION) {
    CopyText(reason, size, "in use by another program");
    return;
  }
  if (error == ERROR_ACCESS_DENIED) {
    CopyText(reason, size, "access denied");
    return;
  }
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reason,
                           static_cast<DWORD>(size), nullptr);
  if (n == 0 || n >= size) {
    std::snprintf(reason, size, "error %lu", static_cast<unsigned long>(error));
    return;
  }
  reason[n] = '\0';
  while (n > 0 && (reason[n - 1] == '\r' || reason[n - 1] == '\n' || reason[n - 1] == '.' ||
                   reason[n - 1] == ' '))
    reason[--n] = '\0';
}

void ClearRemovalReport() { std::memset(&g_report, 0, sizeof g_report); }

void NoteRemaining(const char* what, DWORD error) {
  char reason[kReasonSize];
  DescribeError(error, reason, sizeof reason);
  NoteRemainingBecause(what, reason);
}

void NoteRemainingBecause(const char* what, const char* reason) {
  if (g_report.remaining < kListed) {
    char* entry = g_report.remainingEntries[g_report.remaining];
    // A path that left no room for its reason is still named.
    if (!CopyText(entry, kEntrySize, what) || !AppendText(entry, kEntrySize, " (") ||
        !AppendText(entry, kEntrySize, reason) || !AppendText(entry, kEntrySize, ")"))
      CopyText(entry, kEntrySize, what);
  }
  ++g_report.remaining;
}

void NoteKept(const char* name) {
  if (g_report.kept < kListed) CopyText(g_report.keptEntries[g_report.kept], kPathSize, name);
  ++g_report.kept;
}

bool NothingRemains() { return g_report.remaining == 0; }

void NoteRecordRemoved() { g_report.recordRemoved = true; }

// Shows `text` without the line break its last line ends with.
static void Show(char* text, UINT icon) {
  size_t n = std::strlen(text);
  if (n > 0 && text[n - 1] == '\n') text[n - 1] = '\0';
  MessageBoxA(nullptr, text, kUninstallCaption, MB_OK | icon);
}

int TellOutcome(const char* installFolder) {
  static char text[16384];  // both lists, whole
  text[0] = '\0';
  if (NothingRemains()) {
    AppendLine(text, sizeof text, "", "Quillmark 2003 was removed from your computer.");
    AppendKept(text, sizeof text, installFolder);
    Show(text, MB_ICONINFORMATION);
    return 0;
  }
  const char* names[kListed];
  for (int i = 0; i < kListed; ++i) names[i] = g_report.remainingEntries[i];
  AppendLine(text, sizeof text, "",
             "Quillmark 2003 could not be removed completely. These remain:");
  AppendEntries(text, sizeof text, names, g_report.remaining);
  AppendLine(text, sizeof text, "", "");
  AppendLine(text, sizeof text, "",
             g_report.recordRemoved
                 ? "They can be removed by hand."
                 : "Close any program that uses them and run the uninstaller again: until "
                   "everything is removed, it keeps itself, the program and the entries it "
                   "needs to finish.");
  AppendKept(text, sizeof text, installFolder);
  Show(text, MB_ICONEXCLAMATION);
  return 1;
}
