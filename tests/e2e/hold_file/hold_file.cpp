// hold_file PATH: opens PATH for reading and writing with no sharing, says
// "holding" on its standard output, and keeps it open until it is ended.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hold_file PATH\n");
    return 2;
  }
  HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot open %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  std::printf("holding %s\n", argv[1]);
  std::fflush(stdout);
  for (;;) Sleep(60000);
}
