// Quil.exe's entry point. It takes no options: the command line and the show
// command are ignored, and the exit code is always 0.
#include "installer/install.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return RunQuil(instance, kResourceDigests, kResourceDigestCount);
}
