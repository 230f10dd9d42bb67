// A stand-in for the system's LZ32 that faults on purpose. Its LZInit writes
// through a null pointer, so that the journeys meet a real unhandled
// exception in the shipped Quil.exe, raised from outside the program. Before
// it faults it writes the address of the faulting instruction, in hex, to
// "lz32-fault.txt" beside itself: the address the crash report must carry.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

// One instruction that stores through the null pointer, at a label of its own
// so that its address is known exactly.
extern "C" void FaultingStore() __asm__("quil_faulting_store");
__asm__(
    ".text\n"
    ".globl quil_faulting_store\n"
    "quil_faulting_store:\n"
    "  movl $0, 0\n"
    "  ret\n");

namespace {

HMODULE g_module;

void RecordFaultAddress() {
  char path[MAX_PATH + 32];
  DWORD n = GetModuleFileNameA(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  char* slash = std::strrchr(path, '\\');
  if (slash == nullptr) return;
  std::strcpy(slash + 1, "lz32-fault.txt");
  char text[32];
  int length = std::snprintf(text, sizeof text, "%llX\n",
                             static_cast<unsigned long long>(
                                 reinterpret_cast<uintptr_t>(&FaultingStore)));
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

extern "C" __declspec(dllexport) INT WINAPI LZInit(INT) {
  RecordFaultAddress();
  FaultingStore();
  return -1;
}

extern "C" __declspec(dllexport) LONG WINAPI LZCopy(INT, INT) { return -1; }

extern "C" __declspec(dllexport) void WINAPI LZClose(INT file) {
  CloseHandle(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(file)));
}
