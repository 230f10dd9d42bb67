// Where the program goes: the proposal and the test of a chosen folder.
#pragma once

#include "installer/win32.h"

void FindProgramFiles();
// Fills `proposed` (520 bytes); true when a previous install is there.
bool ProposeInstallFolder(char* proposed);
// Accepts or refuses `folder` (the caller's 520-byte buffer); on acceptance
// the folder exists and is the current directory.
bool ValidateInstallFolder(char* folder, bool showErrors);
