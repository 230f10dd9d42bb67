// Bounded text and path helpers. None of them ever writes past `size`; a
// result that would not fit is refused whole and leaves the output empty,
// so that an overlong path can never be cut into the name of another file.
#pragma once

#include <cstddef>

// The size of every path and name buffer, terminator included.
const int kPathSize = 520;

// Copies `text` into `out`. False (and `out` empty) when it does not fit.
bool CopyText(char* out, size_t size, const char* text);

// Appends `text` to the text in `out`. False (and `out` empty) when the
// whole does not fit.
bool AppendText(char* out, size_t size, const char* text);

// A path's characters, not its bytes: where the ANSI code page has
// double-byte characters (932, 936, 949, 950), the second byte of one may be
// 0x5C, the backslash's (表 is 0x95 0x5C). A byte is a backslash only where a
// character begins, so texts are walked from their start (IsDBCSLeadByte).
// In a single-byte code page every byte is a character, and each helper
// finds what a byte-wise test finds.

// The character after the one at `p` (p itself at the terminator).
const char* NextCharacter(const char* p);
// The last backslash character of `text`, or null.
const char* LastBackslash(const char* text);
char* LastBackslash(char* text);
// Whether the last character of `text` is a backslash.
bool EndsWithBackslash(const char* text);

// Whether the last character of `text` is a lead byte with nothing after it.
// The system reads such a byte as its default character, while a backslash
// put after it would become its second byte: "C:\App\x93" joined with a
// name is no path inside "C:\App\x93".
bool EndsInLoneLeadByte(const char* text);

// out = folder, one backslash unless the folder is empty or already ends in
// one, then name. `out` must not overlap either input. False, with `out`
// empty, when the joined path does not fit or the folder ends in a lone
// lead byte.
bool PathJoin(const char* folder, const char* name, char* out, size_t size = kPathSize);

// Removes one backslash from the end of `path`, if it ends in one.
void DropTrailingBackslash(char* path);
// Removes the backslashes `path` ends in while it is longer than `keep` bytes.
void DropTrailingBackslashes(char* path, size_t keep = 0);

// True when both texts are the same but for the case of ASCII letters, as
// the system matches file and key names; a double-byte character matches
// only itself.
bool SameText(const char* a, const char* b);
