// The main program is never written over in place: the new one is expanded
// beside it, checked, and moved in only once the old one is gone.
#include "installer/payload/replace_main_program.h"

#include <cstdlib>

#include "installer/notices.h"
#include "installer/path.h"
#include "installer/payload/payload.h"
#include "installer/state.h"

// The version the installer carries is 1.0.0.1: anything above it is newer.
static const DWORD kCarriedMajor = 1;
static const DWORD kCarriedLow = 1;

bool ReadFileVersion(const char* path, DWORD* major, DWORD* low) {
  *major = 0;
  *low = 0;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) return false;
  void* block = std::malloc(size);
  if (!block) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  if (GetFileVersionInfoA(path, 0, size, block) &&
      VerQueryValueA(block, "\\", reinterpret_cast<void**>(&info), &infoSize) && info &&
      infoSize >= sizeof *info) {
    *major = HIWORD(info->dwFileVersionMS);
    *low = info->dwFileVersionLS;
  }
  std::free(block);
  return true;
}

static bool NewerVersionPresent() {
  DWORD major, low;
  if (!ReadFileVersion(g_state.mainProgramPath, &major, &low)) return false;
  return major > kCarriedMajor || (major == kCarriedMajor && low > kCarriedLow);
}

// The expander may still hold the image for a moment after it is written.
static bool ImageOpens(const char* imagePath) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    Sleep(100);
    if (OpenAlone(imagePath, FILE_FLAG_SEQUENTIAL_SCAN)) return true;
    Sleep(1000);
  }
  return false;
}

ReplaceOutcome ReplaceMainProgram() {
  char imagePath[kPathSize];
  if (!PathJoin(g_state.installFolder, kImageName, imagePath, sizeof imagePath)) return Failed;
  SetFileAttributesA(g_state.mainProgramPath, FILE_ATTRIBUTE_NORMAL);
  switch (TestMainProgramUse(g_state.mainProgramPath)) {
    case kProgramHeld:
      return InUse;
    case kProgramFree:
      if (NewerVersionPresent()) return NewerPresent;
      break;
    case kProgramUnopenable:
      break;
  }
  if (!WriteCompressedResource(kMainProgramResource, g_state.installFolder, kImageName)) {
    SystemErrorNotice(GetLastError(), "34");
    return Failed;
  }
  if (!ImageOpens(imagePath)) {
    SystemErrorNotice(GetLastError(), "28");
    DeleteWithRetry(imagePath);
    return Failed;
  }
  DeleteWithRetry(g_state.mainProgramPath);
  if (!MoveFileA(imagePath, g_state.mainProgramPath)) {
    SystemErrorNotice(GetLastError(), "37");
    DeleteWithRetry(imagePath);
    return Failed;
  }
  return Replaced;
}
