#include "installer/path.h"

#include <cstring>

bool CopyText(char* out, size_t size, const char* text) {
  if (size == 0) return false;
  size_t n = std::strlen(text);
  if (n >= size) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, text, n + 1);
  return true;
}

bool AppendText(char* out, size_t size, const char* text) {
  if (size == 0) return false;
  size_t have = strnlen(out, size);
  size_t n = std::strlen(text);
  if (have >= size || n >= size - have) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out + have, text, n + 1);
  return true;
}

bool PathJoin(const char* folder, const char* name, char* out, size_t size) {
  size_t f = std::strlen(folder);
  bool slash = f > 0 && folder[f - 1] != '\\';
  return CopyText(out, size, folder) && (!slash || AppendText(out, size, "\\")) &&
         AppendText(out, size, name);
}

void DropTrailingBackslash(char* path) {
  size_t len = std::strlen(path);
  if (len > 0 && path[len - 1] == '\\') path[len - 1] = '\0';
}

static char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameText(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (AsciiUpper(*a) != AsciiUpper(*b)) return false;
  return *a == *b;
}
