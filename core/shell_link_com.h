// What a caller of the shell-link object needs from a COM library that it
// loads by name: the types of its three entry points, the identifiers of the
// object and its interfaces, and the library loaded and initialised.
#pragma once

#include "core/library_search.h"
#include "core/win32.h"

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

// The COM library while a caller holds it, initialised on the calling thread.
struct ComLibrary {
  HMODULE library;
  CoUninitializeFn uninitialize;
  CoCreateInstanceFn createInstance;
};

// Loads "OLE32.DLL" by name and initialises COM. False when the library or
// one of its three entry points is missing (the library is freed again), or
// when CoInitialize answers anything but S_OK: a COM that the thread had
// already (S_FALSE), or one that failed, is not ours to use or to end, and
// the library is then left as it is.
bool StartCom(ComLibrary* com);
// CoUninitialize, then the library is freed.
void EndCom(const ComLibrary& com);
