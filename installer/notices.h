// The one way every failure reaches the user: a message box without owner,
// with the error icon and the caption "ERROR " + code.
#pragma once

#include "core/win32.h"

void ErrorNotice(const char* text, const char* code);

// The system's own text for `error`; nothing at all for error 0.
void SystemErrorNotice(DWORD error, const char* code);
