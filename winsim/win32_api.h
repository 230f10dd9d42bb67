// The Win32 ANSI API the programs call, one header per system library (winsim's).
#pragma once

#include "winsim/base_api.h"

#include "winsim/kernel32_api.h"
#include "winsim/advapi32_api.h"
#include "winsim/user32_api.h"
#include "winsim/comctl32_api.h"
#include "winsim/gdi32_api.h"
#include "winsim/ole32_api.h"
#include "winsim/shell32_api.h"
#include "winsim/wininet_api.h"
#include "winsim/lz32_api.h"
#include "winsim/version_api.h"
