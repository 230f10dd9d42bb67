// The names of what is installed, fixed in both programs: the installer
// starts its state from them and the uninstaller finds the install by them.
#pragma once

const char kProductName[] = "Quillmark";
const char kMainProgramName[] = "Quillmark.exe";
const char kUninstallerName[] = "uninst1.exe";
