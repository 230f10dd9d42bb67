// Prints, for each file, the size of the smallest SZDD file for it: the
// yardstick of scripts/bench_szdd.sh, from longest matches found by brute
// force rather than by the packer's own search. Slow by design.
#include <cstdio>
#include <vector>

#include "szdd_reference.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE...\n", argc > 0 ? argv[0] : "szdd_optimal");
    return 2;
  }
  int status = 0;
  for (int a = 1; a < argc; ++a) {
    std::FILE* f = std::fopen(argv[a], "rb");
    if (f == nullptr) {
      std::fprintf(stderr, "szdd_optimal: cannot read '%s'\n", argv[a]);
      status = 1;
      continue;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), f)) > 0) {
      data.insert(data.end(), chunk, chunk + got);
    }
    std::fclose(f);
    std::printf("%zu %s\n", SzddOptimalSize(SzddLongestMatchesByBruteForce(data.data(), data.size())), argv[a]);
  }
  return status;
}
