// Whether a folder can take the installation; when it can, it is made to
// exist and becomes the current directory.
#include <cstring>

#include "core/path.h"
#include "installer/location/location.h"
#include "installer/notices.h"
#include "installer/state.h"

static bool Refuse(bool showErrors, const char* text, const char* code) {
  if (showErrors) ErrorNotice(text, code);
  return false;
}

static bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void PathRoot(const char* path, char* root) {
  size_t n = 0;
  for (const char* p = path; *p != '\0' && *p != '\\'; p = NextCharacter(p)) {
    size_t length = static_cast<size_t>(NextCharacter(p) - p);
    if (n + length > kPathSize - 2) break;
    std::memcpy(root + n, p, length);
    n += length;
  }
  root[n] = '\\';
  root[n + 1] = '\0';
}

// Takes the name of the folder just entered as the system gives it back. It
// is the same text unless the system read some of it otherwise (a pair the
// code page defines no character for becomes its default character), and
// then every later step, the recorded "Path" and the uninstaller's test of
// its own place among them, must name the folder the system made. Unread,
// the text stays as it was; a drive's root loses its backslash, as above.
static void TakeSystemName(char* folder) {
  char current[kPathSize];
  DWORD n = GetCurrentDirectoryA(sizeof current, current);
  if (n == 0 || n >= sizeof current || !CopyText(folder, kPathSize, current)) return;
  DropTrailingBackslashes(folder);
}

bool ValidateInstallFolder(char* folder, bool showErrors) {
  if (folder[0] == '\0' || folder[1] != ':' || folder[2] != '\\' || !IsAsciiLetter(folder[0]))
    return Refuse(showErrors, "Invalid drive specification", "11");

  char root[kPathSize];
  PathRoot(folder, root);
  switch (GetDriveTypeA(root)) {
    case DRIVE_REMOVABLE:
      return Refuse(showErrors, "Quillmark can't be installed to a removable disk.", "12");
    case DRIVE_REMOTE:
      return Refuse(showErrors,
                    "Quillmark can't be installed to a remote drive. Select your local hard drive "
                    "instead.",
                    "12");
    case DRIVE_CDROM:
    case DRIVE_RAMDISK:
      return Refuse(showErrors, "Invalid drive", "12");
    default:
      break;
  }

  DropTrailingBackslashes(folder);
  // The system would make a folder of another name, and no file could be
  // put inside it by joining.
  if (EndsInLoneLeadByte(folder))
    return Refuse(showErrors, "Could not create the specified folder.", "16");
  size_t len = std::strlen(folder);
  // Room for the main program's full path within the classic path limit.
  if (len + std::strlen(g_state.mainProgramName) + 20 > MAX_PATH)
    return Refuse(showErrors, "Folder name too long", "27");

  if (SetCurrentDirectoryA(folder)) {
    TakeSystemName(folder);
    DWORD attributes = GetFileAttributesA(folder);
    // Entered a moment ago, yet unreadable: it cannot be vouched for.
    if (attributes == INVALID_FILE_ATTRIBUTES)
      return Refuse(showErrors, "Could not create the specified folder.", "16");
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return Refuse(showErrors, "The install location is not a folder.", "13");
    if (attributes & FILE_ATTRIBUTE_READONLY)
      return Refuse(showErrors, "The folder is read only.", "14");
    if (attributes & (FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE))
      return Refuse(showErrors, "Invalid folder", "15");
    return true;
  }
  if (CreateDirectoryA(folder, nullptr) && SetCurrentDirectoryA(folder)) {
    TakeSystemName(folder);
    return true;
  }
  return Refuse(showErrors, "Could not create the specified folder.", "16");
}
