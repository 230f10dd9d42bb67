// Bounded text and path helpers. None of them ever writes past `size`; a
// result that would not fit is refused whole and leaves the output empty,
// so that an overlong path can never be cut into the name of another file.
#pragma once

#include <cstddef>

// Copies `text` into `out`. False (and `out` empty) when it does not fit.
bool CopyText(char* out, size_t size, const char* text);

// Appends `text` to the text in `out`. False (and `out` empty) when the
// whole does not fit.
bool AppendText(char* out, size_t size, const char* text);

// out = folder, one backslash unless the folder is empty or already ends in
// one, then name. `out` must not overlap either input. False, with `out`
// empty, when the joined path does not fit.
bool PathJoin(const char* folder, const char* name, char* out, size_t size = 520);

// Removes one backslash from the end of `path`, if it ends in one.
void DropTrailingBackslash(char* path);

// True when both texts are the same but for the case of ASCII letters, as
// the system matches file and key names.
bool SameText(const char* a, const char* b);
