#include "core/registry.h"

#include <cstring>

#include "core/path.h"

LONG OpenRegKey(HKEY root, const char* path, REGSAM access, HKEY* key) {
  // The class is an empty text, not a null pointer; the SDK wants it writable.
  static char emptyClass[] = "";
  return RegCreateKeyExA(root, path, 0, emptyClass, REG_OPTION_NON_VOLATILE, access, nullptr, key,
                         nullptr);
}

LONG OpenExistingRegKey(HKEY root, const char* path, REGSAM access, HKEY* key) {
  return RegOpenKeyExA(root, path, 0, access, key);
}

LONG ReadRegNumber(HKEY key, const char* name, DWORD* value) {
  DWORD size = sizeof *value;
  return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
}

LONG ReadRegString(HKEY key, const char* name, char* buffer, DWORD size) {
  if (size == 0) return ERROR_MORE_DATA;
  DWORD got = size;
  LONG status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &got);
  if (status != ERROR_SUCCESS) {
    buffer[0] = '\0';
    return status;
  }
  // Stored data need not end in a terminator (another program may have written
  // it); add one, and refuse what leaves no room for it.
  if (got > 0 && buffer[got - 1] == '\0') return ERROR_SUCCESS;
  if (got >= size) {
    buffer[0] = '\0';
    return ERROR_MORE_DATA;
  }
  buffer[got] = '\0';
  return ERROR_SUCCESS;
}

LONG WriteRegNumber(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
}

LONG WriteRegString(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1));
}

void ComposeProductKeyPath(const char* productName, const char* leaf, char* path) {
  CopyText(path, kPathSize, "Software\\Kestrel\\");
  AppendText(path, kPathSize, productName);
  AppendText(path, kPathSize, leaf);
}

void MachineKeyLocation(DWORD nolmaccess, const char* settingsKeyPath, HKEY* root,
                        const char** path) {
  *root = nolmaccess ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  *path = nolmaccess ? settingsKeyPath : kMachineKeyPath;
}
