// self_check_timing QUIL_EXE: times Quil.exe's check of its own resources
// (installer/self_check.cpp, against the same build's record) on the file
// given, mapped as the loader maps data: the first check, which reads every
// page of the resources in, then the median of twenty more. For the install
// benchmark (scripts/bench_install.sh), under the same Wine.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "installer/self_check.h"

namespace {

double Ms(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& frequency) {
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: self_check_timing QUIL_EXE\n");
    return 2;
  }
  HMODULE quil = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!quil) {
    std::printf("cannot map %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  double times[21];
  bool intact = true;
  for (double& t : times) {
    QueryPerformanceCounter(&start);
    intact = ResourcesIntact(quil, kResourceDigests, kResourceDigestCount) && intact;
    QueryPerformanceCounter(&end);
    t = Ms(start, end, frequency);
  }
  DWORD bytes = 0;
  for (int i = 0; i < kResourceDigestCount; ++i) bytes += kResourceDigests[i].size;
  std::sort(times + 1, times + 21);
  std::printf("%s: %d resources, %lu bytes; first check %.2f ms, then %.2f ms (median of 20)\n",
              intact ? "intact" : "DAMAGED", kResourceDigestCount, bytes, times[0],
              (times[10] + times[11]) / 2);
  FreeLibrary(quil);
  return intact ? 0 : 1;
}
