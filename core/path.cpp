#include "core/path.h"

#include <cstring>

#include "core/win32.h"

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

static bool StartsDoubleByte(const char* p) {
  return IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0';
}

const char* NextCharacter(const char* p) {
  return *p == '\0' ? p : p + (StartsDoubleByte(p) ? 2 : 1);
}

const char* LastBackslash(const char* text) {
  const char* found = nullptr;
  for (const char* p = text; *p; p = NextCharacter(p))
    if (*p == '\\') found = p;
  return found;
}

char* LastBackslash(char* text) {
  return const_cast<char*>(LastBackslash(static_cast<const char*>(text)));
}

bool EndsWithBackslash(const char* text) {
  const char* last = LastBackslash(text);
  return last != nullptr && last[1] == '\0';
}

bool EndsInLoneLeadByte(const char* text) {
  const char* last = nullptr;
  for (const char* p = text; *p; p = NextCharacter(p)) last = p;
  return last != nullptr && last[1] == '\0' && IsDBCSLeadByte(static_cast<BYTE>(*last));
}

bool PathJoin(const char* folder, const char* name, char* out, size_t size) {
  if (EndsInLoneLeadByte(folder)) {
    if (size) out[0] = '\0';
    return false;
  }
  bool slash = folder[0] != '\0' && !EndsWithBackslash(folder);
  return CopyText(out, size, folder) && (!slash || AppendText(out, size, "\\")) &&
         AppendText(out, size, name);
}

void DropTrailingBackslash(char* path) {
  if (EndsWithBackslash(path)) path[std::strlen(path) - 1] = '\0';
}

void DropTrailingBackslashes(char* path, size_t keep) {
  while (std::strlen(path) > keep && EndsWithBackslash(path)) DropTrailingBackslash(path);
}

static char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameText(const char* a, const char* b) {
  while (*a && *b) {
    if (StartsDoubleByte(a)) {
      if (a[0] != b[0] || a[1] != b[1]) return false;
      a += 2;
      b += 2;
      continue;
    }
    if (AsciiUpper(*a) != AsciiUpper(*b)) return false;
    ++a;
    ++b;
  }
  return *a == *b;
}
