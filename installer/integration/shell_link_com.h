// What a caller of the shell-link object needs from a COM library that it
// loads by name: the types of its three entry points and the identifiers of
// the object and its interfaces.
#pragma once

#include "installer/win32.h"

typedef HRESULT(WINAPI* CoInitializeFn)(LPVOID reserved);
typedef void(WINAPI* CoUninitializeFn)();
typedef HRESULT(WINAPI* CoCreateInstanceFn)(REFCLSID clsid, LPUNKNOWN outer, DWORD context,
                                            REFIID iid, LPVOID* out);

// Our own constants: the SDK's would pull in the uuid and ole32 import
// libraries, and with them a load-time dependency on OLE32.
const CLSID kClsidShellLink = {
    0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidShellLinkA = {
    0x000214EE, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidPersistFile = {
    0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The entry point `name` of a loaded library as the function type it has, or
// null when the library does not export it.
template <typename Fn>
Fn EntryPoint(HMODULE library, const char* name) {
  // Through the one function type that converts to every other without a
  // warning.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}
