#include "installer/payload/payload.h"

#include "core/path.h"
#include "installer/notices.h"
#include "installer/state.h"

HGLOBAL FindPayloadResource(WORD id, DWORD* size) {
  *size = 0;
  // Only the resource calls' own errors may reach the notice, not one that an
  // earlier, successful call left behind.
  SetLastError(0);
  HRSRC res = FindResourceA(g_state.instance, MAKEINTRESOURCEA(id), "FILE");
  if (!res) {
    SystemErrorNotice(GetLastError(), "60");
    return nullptr;
  }
  *size = SizeofResource(g_state.instance, res);
  if (*size == 0) {
    SystemErrorNotice(GetLastError(), "61");
    return nullptr;
  }
  HGLOBAL data = LoadResource(g_state.instance, res);
  if (!data) {
    SystemErrorNotice(GetLastError(), "62");
    return nullptr;
  }
  return data;
}

// A file whose writing failed part way would pass for a whole one later (a
// truncated dictionary reads as a short one): it goes, the row has failed anyway.
static int DropPartialFile(const char* path) {
  DeleteWithRetry(path);
  return 0;
}

int WriteResourceFile(WORD id, const char* folder, const char* name, bool readOnly) {
  char path[kPathSize];
  if (!PathJoin(folder, name, path, sizeof path)) return 0;
  DWORD size = 0;
  HGLOBAL res = FindPayloadResource(id, &size);
  const void* bytes = res ? LockResource(res) : nullptr;
  if (!bytes) return 0;
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  DWORD attributes = FILE_FLAG_SEQUENTIAL_SCAN | (readOnly ? FILE_ATTRIBUTE_READONLY : 0);
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    FreeResource(res);
    return 0;
  }
  DWORD written = 0;
  // A short write leaves a truncated file: that is a failure, not a success.
  bool ok = WriteFile(file, bytes, size, &written, nullptr) && written == size;
  CloseHandle(file);
  FreeResource(res);
  return ok ? 1 : DropPartialFile(path);
}

static INT AsLzFile(HANDLE h) { return static_cast<INT>(reinterpret_cast<INT_PTR>(h)); }

int ExpandFile(const char* sourceFolder, const char* sourceName, const char* targetFolder,
               const char* targetName) {
  char targetPath[kPathSize];
  char sourcePath[kPathSize];
  if (!PathJoin(targetFolder, targetName, targetPath, sizeof targetPath) ||
      !PathJoin(sourceFolder, sourceName, sourcePath, sizeof sourcePath))
    return 0;
  HANDLE target = CreateFileA(targetPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (target == INVALID_HANDLE_VALUE) return 0;
  HANDLE source = CreateFileA(sourcePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  // From here on the target has been created over whatever was there.
  if (source == INVALID_HANDLE_VALUE) {
    CloseHandle(target);
    return DropPartialFile(targetPath);
  }
  INT lzTarget = LZInit(AsLzFile(target));
  if (lzTarget < 0) {
    ErrorNotice("Unable to decompress files", "DC6");
    CloseHandle(source);
    CloseHandle(target);
    return DropPartialFile(targetPath);
  }
  INT lzSource = LZInit(AsLzFile(source));
  if (lzSource < 0) {
    ErrorNotice("Unable to to decompress files", "DC5");
    LZClose(lzTarget);  // closes the target file too
    CloseHandle(source);
    return DropPartialFile(targetPath);
  }
  LONG copied = LZCopy(lzSource, lzTarget);
  // LZClose closes the file underneath each handle; closing them again would
  // close handles that are no longer ours.
  LZClose(lzSource);
  LZClose(lzTarget);
  return copied >= 0 ? 1 : DropPartialFile(targetPath);
}

int WriteCompressedResource(WORD id, const char* folder, const char* name) {
  if (!WriteResourceFile(id, g_state.tempFolder, "data.tmp", false)) return 0;
  int ok = ExpandFile(g_state.tempFolder, "data.tmp", folder, name);
  DeleteInFolder(g_state.tempFolder, "data.tmp");
  return ok;
}

int WritePayloadEntry(const PayloadEntry& row, const char* uninstallerFolder) {
  const char* folder = row.folder == kInstallFolder      ? g_state.installFolder
                       : row.folder == kWindowsDirectory ? g_state.windowsDirectory
                                                         : uninstallerFolder;
  if (row.storage == kRaw) return WriteResourceFile(row.resourceId, folder, row.name, row.readOnly);
  return WriteCompressedResource(row.resourceId, folder, row.name);
}
