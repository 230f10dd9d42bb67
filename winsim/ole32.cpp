// The COM library, as OLE32.DLL exports it, and the shell-link object whose
// Save writes a file into the simulated disk.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "winsim/machine.h"

namespace winsim {
namespace {

const GUID kShellLinkClass = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kUnknownIid = {0x00000000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kShellLinkAIid = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kPersistFileIid = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

const char kLinkHeader[] = "[winsim shell link]\r\n";

class ShellLink;

struct Com {
  int initializations = 0;                          // CoInitialize calls not yet balanced
  std::vector<std::unique_ptr<ShellLink>> objects;  // kept until Reset, to catch late calls
  std::vector<LinkSave> saves;
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

std::string Narrow(LPCOLESTR wide) {
  std::string out;
  for (; *wide; ++wide) out += *wide <= 0xFF ? static_cast<char>(*wide) : '?';
  return out;
}

// The file Save writes for a link.
std::string LinkRecord(const ShellLinkFile& link) {
  return std::string(kLinkHeader) + "target=" + link.target + "\r\nicon=" + link.iconPath + "," +
         std::to_string(link.iconIndex) + "\r\ndescription=" + link.description +
         "\r\ndirectory=" + link.workingDirectory + "\r\n";
}

// The fields of a link record as Save writes it; false for anything else.
bool ParseShellLink(const std::string& data, ShellLinkFile* link) {
  if (data.compare(0, std::strlen(kLinkHeader), kLinkHeader) != 0) return false;
  *link = ShellLinkFile();
  size_t at = std::strlen(kLinkHeader);
  while (at < data.size()) {
    size_t end = data.find("\r\n", at);
    if (end == std::string::npos) end = data.size();
    std::string line = data.substr(at, end - at);
    at = end + 2;
    size_t eq = line.find('=');
    std::string key = line.substr(0, eq),
                value = eq == std::string::npos ? "" : line.substr(eq + 1);
    if (key == "target") link->target = value;
    if (key == "description") link->description = value;
    if (key == "directory") link->workingDirectory = value;
    if (key == "icon") {
      size_t comma = value.rfind(',');
      link->iconPath = value.substr(0, comma);
      link->iconIndex = std::atoi(value.c_str() + comma + 1);
    }
  }
  return true;
}

class ShellLink final : public IShellLinkA, public IPersistFile {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!Alive("QueryInterface")) return E_FAIL;
    if (!out) return E_POINTER;
    *out = nullptr;
    if (ShouldFail("QueryInterface")) return E_NOINTERFACE;
    return Query(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    if (!Alive("AddRef")) return 0;
    return ++references_;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    if (!Alive("Release")) return 0;
    return --references_;
  }

  HRESULT STDMETHODCALLTYPE SetDescription(LPCSTR name) override {
    return Set("SetDescription", name, &description_);
  }
  HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCSTR dir) override {
    return Set("SetWorkingDirectory", dir, &directory_);
  }
  HRESULT STDMETHODCALLTYPE SetIconLocation(LPCSTR iconPath, int icon) override {
    HRESULT hr = Set("SetIconLocation", iconPath, &iconPath_);
    if (hr == S_OK) iconIndex_ = icon;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE SetPath(LPCSTR file) override { return Set("SetPath", file, &target_); }
  HRESULT STDMETHODCALLTYPE GetPath(LPSTR file, int chars, WIN32_FIND_DATAA* found,
                                    DWORD) override {
    if (!Alive("GetPath")) return E_FAIL;
    if (!file || chars <= 0) return E_INVALIDARG;
    if (found) std::memset(found, 0, sizeof *found);
    // A target that does not fit fills the buffer unterminated, as Wine's
    // does: code that trusts a terminator is caught.
    if (target_.size() >= static_cast<size_t>(chars)) {
      std::memcpy(file, target_.data(), static_cast<size_t>(chars));
      return S_OK;
    }
    std::memcpy(file, target_.c_str(), target_.size() + 1);
    return target_.empty() ? S_FALSE : S_OK;
  }

  // Reads a link that Save wrote; a file that is none fails as the system's
  // does, with E_FAIL, and leaves the object as it was.
  HRESULT STDMETHODCALLTYPE Load(LPCOLESTR file, DWORD) override {
    if (!Alive("Load")) return E_FAIL;
    if (!file) return E_INVALIDARG;
    std::string path = Narrow(file);
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    std::string data;
    char chunk[256];
    DWORD got = 0;
    BOOL read;
    while ((read = ReadFile(f, chunk, sizeof chunk, &got, nullptr)) && got > 0)
      data.append(chunk, got);
    DWORD error = read ? 0 : GetLastError();
    CloseHandle(f);
    // A read that fails is the system's error, not a file that is no link.
    if (!read) return HRESULT_FROM_WIN32(error ? error : ERROR_READ_FAULT);
    ShellLinkFile link;
    if (!ParseShellLink(data, &link)) return E_FAIL;
    target_ = link.target;
    iconPath_ = link.iconPath;
    iconIndex_ = link.iconIndex;
    description_ = link.description;
    directory_ = link.workingDirectory;
    current_ = path;
    return S_OK;
  }

  // Like the system's: the file is created (or emptied) alone, written, and
  // removed again when the write fails; the error comes back as an HRESULT.
  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR file, BOOL remember) override {
    if (!Alive("Save")) return E_FAIL;
    std::string path = file ? Narrow(file) : current_;
    HRESULT hr = path.empty() ? E_INVALIDARG : Write(path);
    if (hr == S_OK && remember) current_ = path;
    C().saves.push_back({path, hr});
    return hr;
  }

  // For CoCreateInstance: the interface without the faults of a caller's query.
  HRESULT Query(REFIID iid, void** out) {
    if (iid == kUnknownIid || iid == kShellLinkAIid)
      *out = static_cast<IShellLinkA*>(this);
    else if (iid == kPersistFileIid)
      *out = static_cast<IPersistFile*>(this);
    else
      return E_NOINTERFACE;
    ++references_;
    return S_OK;
  }
  bool Live() const { return references_ > 0; }

 private:
  bool Alive(const char* method) {
    if (references_ > 0) return true;
    M().misuse.push_back(std::string("shell link ") + method + " after its last Release");
    return false;
  }
  HRESULT Set(const char* method, LPCSTR text, std::string* field) {
    if (!Alive(method)) return E_FAIL;
    if (!text) return E_INVALIDARG;
    if (ShouldFail(method)) return E_OUTOFMEMORY;
    *field = text;
    return S_OK;
  }
  HRESULT Write(const std::string& path) {
    std::string record =
        LinkRecord(ShellLinkFile{target_, iconPath_, iconIndex_, description_, directory_});
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    DWORD written = 0;
    BOOL ok = WriteFile(f, record.data(), static_cast<DWORD>(record.size()), &written, nullptr) &&
              written == record.size();
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(f);
    if (ok) return S_OK;
    DeleteFileA(path.c_str());
    return HRESULT_FROM_WIN32(error ? error : ERROR_WRITE_FAULT);
  }

  ULONG references_ = 0;
  std::string target_, iconPath_, description_, directory_, current_;
  int iconIndex_ = 0;
};

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
  C().objects.push_back(std::make_unique<ShellLink>());
  return C().objects.back()->Query(iid, out);
}

}  // namespace

void ResetCom() { C() = Com(); }

std::map<std::string, FARPROC> Ole32Exports() {
  return {{"CoInitialize", Export(&CoInitializeSim)},
          {"CoUninitialize", Export(&CoUninitializeSim)},
          {"CoCreateInstance", Export(&CoCreateInstanceSim)}};
}

void ComAlreadyInitialized() { ++C().initializations; }
int LiveComObjects() {
  int live = 0;
  for (const auto& o : C().objects) live += o->Live() ? 1 : 0;
  return live;
}
const std::vector<LinkSave>& LinkSaves() { return C().saves; }

bool WriteShellLink(const std::string& path, const ShellLinkFile& link) {
  return PutFile(path, LinkRecord(link));
}

bool ReadShellLink(const std::string& path, ShellLinkFile* link) {
  return ParseShellLink(FileData(path), link);
}

}  // namespace winsim
