// The install sequence: every step once, in a fixed order, on the one thread.
#pragma once

#include "core/win32.h"
#include "installer/self_check.h"

// Runs the whole install and gives the exit code, which is always 0.
int RunInstaller(HINSTANCE instance);

// Quil.exe's whole run: the library search kept to the system folder, then
// the check of the program's own file against the build's record of its
// resources, then the install. A damaged file is refused with one notice
// before anything is shown or written. Gives the exit code, always 0.
int RunQuil(HINSTANCE instance, const ResourceDigest* digests, int count);
