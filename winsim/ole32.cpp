// ole32, the COM library: initialised per thread, and creating the one
// class it knows, the shell's link object (shell32_link.cpp).
#include <map>

#include "winsim/machine.h"

namespace winsim {
namespace {

const GUID kShellLinkClass = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct Com {
  int initializations = 0;  // CoInitialize calls not yet balanced
};

Com& C() {
  static Com com;
  return com;
}

bool Ole32Loaded(const char* call) {
  if (LoadedModule("OLE32.DLL")) return true;
  M().misuse.push_back(std::string(call) + " called while OLE32.DLL is not loaded");
  return false;
}

HRESULT FaultResult() {
  DWORD error = M().lastError;
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

HRESULT CoInitializeSim(LPVOID reserved) {
  if (!Ole32Loaded("CoInitialize")) return E_FAIL;
  if (ShouldFail("CoInitialize")) return FaultResult();
  if (reserved) return E_INVALIDARG;
  Note("CoInitialize");
  return C().initializations++ == 0 ? S_OK : S_FALSE;
}

void CoUninitializeSim() {
  if (!Ole32Loaded("CoUninitialize")) return;
  Note("CoUninitialize");
  if (C().initializations == 0) {
    M().misuse.push_back("CoUninitialize without a CoInitialize to balance");
    return;
  }
  if (LiveComObjects() > 0) M().misuse.push_back("CoUninitialize while a COM object is referenced");
  --C().initializations;
}

HRESULT CoCreateInstanceSim(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                            LPVOID* out) {
  if (!Ole32Loaded("CoCreateInstance")) return E_FAIL;
  if (!out) return E_POINTER;
  *out = nullptr;
  if (ShouldFail("CoCreateInstance")) return FaultResult();
  if (C().initializations == 0) return CO_E_NOTINITIALIZED;
  if (!(clsid == kShellLinkClass) || !(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  if (outer) return CLASS_E_NOAGGREGATION;
  return CreateShellLink(iid, out);
}

}  // namespace

void ResetCom() {
  C() = Com();
  ResetShellLinks();
}

std::map<std::string, FARPROC> Ole32Exports() {
  return {{"CoInitialize", Export(&CoInitializeSim)},
          {"CoUninitialize", Export(&CoUninitializeSim)},
          {"CoCreateInstance", Export(&CoCreateInstanceSim)}};
}

void ComAlreadyInitialized() { ++C().initializations; }

}  // namespace winsim
