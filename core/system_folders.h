// The system's folders both programs work with, as the installer keeps them.
#pragma once

// The Windows directory without its trailing backslash into `folder`
// (kPathSize bytes); false, with `folder` empty, when the system gives none
// that fits.
bool FetchWindowsDirectory(char* folder);
// The temporary folder, with its trailing backslash, into `folder` (kPathSize
// bytes); false, with `folder` empty, when the system gives none that fits.
bool FetchTempFolder(char* folder);
