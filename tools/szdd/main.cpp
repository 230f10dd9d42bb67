#include <cerrno>
#include <cstdio>
#include <cstring>

#include "szdd.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IN OUT\n", argc > 0 ? argv[0] : "szdd");
    return 2;
  }
  errno = 0;
  if (!SzddCompressFile(argv[1], argv[2])) {
    const int err = errno;
    std::fprintf(stderr, "szdd: cannot compress '%s' to '%s'%s%s\n", argv[1], argv[2],
                 err != 0 ? ": " : "", err != 0 ? std::strerror(err) : "");
    return 1;
  }
  return 0;
}
