// Test-side control of winsim, every area at once: seed the simulated
// machine, script faults, and read back what the installer did to it. Each
// area's control lives in its own header, named after the system library it
// simulates; a test may include only the areas it drives.
#pragma once

#include "winsim/control_advapi32.h"
#include "winsim/control_gdi32.h"
#include "winsim/control_kernel32_files.h"
#include "winsim/control_kernel32_modules.h"
#include "winsim/control_kernel32_processes.h"
#include "winsim/control_machine.h"
#include "winsim/control_shell32.h"
#include "winsim/control_user32.h"
#include "winsim/control_version.h"
#include "winsim/control_wininet.h"
