// The install sequence: every step once, in a fixed order, on the one thread.
#pragma once

#include "installer/win32.h"

// Runs the whole install and gives the exit code, which is always 0.
int RunInstaller(HINSTANCE instance);
