// The main program is never written over in place: the new one is expanded
// beside it, checked, and moved in only once the old one is gone.
#include "installer/payload/replace_main_program.h"

#include <cstdint>
#include <cstdlib>

#include "core/path.h"
#include "installer/notices.h"
#include "installer/payload/payload.h"
#include "installer/state.h"

// The version the installer carries is 1.0.0.1: anything above it is newer.
static const DWORD kCarriedMajor = 1;
static const DWORD kCarriedLow = 1;

// The system hands out where the fixed information should be and the length
// the block claims for it, checking neither against the block: it counts only
// when it lies whole inside the block and the block's own length (the first
// WORD), and carries its signature.
static bool FixedInfoIsWhole(const void* block, DWORD size, const VS_FIXEDFILEINFO* info,
                             UINT infoSize) {
  if (!info || infoSize < sizeof *info || size < 2) return false;
  const BYTE* start = static_cast<const BYTE*>(block);
  DWORD length = start[0] | (start[1] << 8);
  uintptr_t end = reinterpret_cast<uintptr_t>(start) + (length < size ? length : size);
  uintptr_t at = reinterpret_cast<uintptr_t>(info);
  return at >= reinterpret_cast<uintptr_t>(start) && at <= end && end - at >= sizeof *info &&
         info->dwSignature == VS_FFI_SIGNATURE;
}

bool ReadFileVersion(const char* path, DWORD* major, DWORD* low) {
  *major = 0;
  *low = 0;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) return false;
  // Zero-filled: whatever the system does not copy (a version resource cut
  // short by the file's end) then reads as 0, never as what the heap held.
  void* block = std::calloc(size, 1);
  if (!block) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  if (GetFileVersionInfoA(path, 0, size, block) &&
      VerQueryValueA(block, "\\", reinterpret_cast<void**>(&info), &infoSize) &&
      FixedInfoIsWhole(block, size, info, infoSize)) {
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
