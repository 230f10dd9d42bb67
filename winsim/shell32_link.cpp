// shell32's shell-link object, which CoCreateInstance makes; its Save writes
// a small text record of the link into the simulated disk.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "winsim/machine.h"

namespace winsim {
namespace {

// The object answers each of its interfaces with an object of its own, as COM
// allows: only IUnknown's identity is promised. Each of them has a table as
// long as the longest interface, IShellLinkA's 21 methods, in the system's
// order: a caller that holds another interface than it asked for calls into
// a slot the interface does not have, which reports the misuse instead of
// running off the end of the table.

const GUID kUnknownIid = {0x00000000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kShellLinkAIid = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kPersistFileIid = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The methods of each interface, in the order of its table.
const char* const kShellLinkMethods[] = {
    "QueryInterface", "AddRef", "Release", "GetPath", "GetIDList", "SetIDList", "GetDescription",
    "SetDescription", "GetWorkingDirectory", "SetWorkingDirectory", "GetArguments",
    "SetArguments", "GetHotkey", "SetHotkey", "GetShowCmd", "SetShowCmd", "GetIconLocation",
    "SetIconLocation", "SetRelativePath", "Resolve", "SetPath"};
const char* const kPersistFileMethods[] = {"QueryInterface", "AddRef", "Release",
                                           "GetClassID", "IsDirty", "Load", "Save",
                                           "SaveCompleted", "GetCurFile"};
const int kPersistFileSlots = sizeof kPersistFileMethods / sizeof *kPersistFileMethods;

const char kLinkHeader[] = "[winsim shell link]\r\n";

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

std::vector<LinkSave> saves;

// The object's state and what its methods do, whichever interface they are
// called through.
class LinkState {
 public:
  IUnknown* unknown = nullptr;  // its interfaces, set by ShellLink
  IShellLinkA* link = nullptr;
  IPersistFile* file = nullptr;

  HRESULT QueryInterface(REFIID iid, void** out) {
    if (!Alive("QueryInterface")) return E_FAIL;
    if (!out) return E_POINTER;
    *out = nullptr;
    if (ShouldFail("QueryInterface")) return E_NOINTERFACE;
    return Query(iid, out);
  }
  // For CoCreateInstance: the interface without the faults of a caller's query.
  HRESULT Query(REFIID iid, void** out) {
    if (iid == kUnknownIid)
      *out = unknown;
    else if (iid == kShellLinkAIid)
      *out = link;
    else if (iid == kPersistFileIid)
      *out = file;
    else
      return E_NOINTERFACE;
    ++references_;
    return S_OK;
  }
  ULONG AddRef() { return Alive("AddRef") ? ++references_ : 0; }
  ULONG Release() { return Alive("Release") ? --references_ : 0; }
  bool Live() const { return references_ > 0; }

  HRESULT SetDescription(LPCSTR name) { return Set("SetDescription", name, &description_); }
  HRESULT SetWorkingDirectory(LPCSTR dir) { return Set("SetWorkingDirectory", dir, &directory_); }
  HRESULT SetIconLocation(LPCSTR iconPath, int icon) {
    HRESULT hr = Set("SetIconLocation", iconPath, &iconPath_);
    if (hr == S_OK) iconIndex_ = icon;
    return hr;
  }
  HRESULT SetPath(LPCSTR file) { return Set("SetPath", file, &target_); }
  HRESULT GetPath(LPSTR file, int chars, WIN32_FIND_DATAA* found) {
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
  HRESULT Load(LPCOLESTR file) {
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
  HRESULT Save(LPCOLESTR file, BOOL remember) {
    if (!Alive("Save")) return E_FAIL;
    std::string path = file ? Narrow(file) : current_;
    HRESULT hr = path.empty() ? E_INVALIDARG : Write(path);
    if (hr == S_OK && remember) current_ = path;
    saves.push_back({path, hr});
    return hr;
  }

  // A method of the object's that winsim does not model.
  HRESULT Unmodelled(const char* interface, const char* method) {
    M().misuse.push_back(std::string("shell link ") + interface + "::" + method +
                         ", which winsim does not model");
    return E_NOTIMPL;
  }
  // A slot past the end of the interface's table: the caller holds another
  // interface than it thinks.
  HRESULT Foreign(const char* interface, int slot) {
    std::string meant = std::string("IShellLinkA::") + kShellLinkMethods[slot];
    if (slot < kPersistFileSlots) meant += std::string(" or IPersistFile::") + kPersistFileMethods[slot];
    M().misuse.push_back("shell link: " + meant + " called through its " + interface +
                         ", which has no such method");
    return E_NOINTERFACE;
  }

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

// One interface of the object: IUnknown's methods go to the object.
template <class Interface>
class Face : public Interface {
 public:
  explicit Face(LinkState* state) : state_(state) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) final {
    return state_->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() final { return state_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() final { return state_->Release(); }

 protected:
  LinkState* state_;
};

// The slots an interface lacks, each reporting the misuse with its number.
#define WINSIM_FOREIGN(n) \
  virtual HRESULT STDMETHODCALLTYPE Foreign##n() { return state_->Foreign(kName, n); }
#define WINSIM_FOREIGN_AS(n, method, ...) \
  HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) final { return state_->Foreign(kName, n); }
#define WINSIM_UNMODELLED(method, ...) \
  HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) final { return state_->Unmodelled(kName, #method); }

// The object's IUnknown. Its table is IShellLinkA's, every slot past
// IUnknown's reporting the misuse: so a caller that asked for IUnknown and
// uses the answer as the link is caught by the simulation rather than by
// the sanitizer's check of the object's type.
class UnknownFace final : public Face<IShellLinkA> {
 public:
  using Face::Face;
  static constexpr const char* kName = "IUnknown";
  WINSIM_FOREIGN_AS(3, GetPath, LPSTR, int, WIN32_FIND_DATAA*, DWORD)
  WINSIM_FOREIGN_AS(4, GetIDList, PIDLIST_ABSOLUTE*)
  WINSIM_FOREIGN_AS(5, SetIDList, PCIDLIST_ABSOLUTE)
  WINSIM_FOREIGN_AS(6, GetDescription, LPSTR, int)
  WINSIM_FOREIGN_AS(7, SetDescription, LPCSTR)
  WINSIM_FOREIGN_AS(8, GetWorkingDirectory, LPSTR, int)
  WINSIM_FOREIGN_AS(9, SetWorkingDirectory, LPCSTR)
  WINSIM_FOREIGN_AS(10, GetArguments, LPSTR, int)
  WINSIM_FOREIGN_AS(11, SetArguments, LPCSTR)
  WINSIM_FOREIGN_AS(12, GetHotkey, WORD*)
  WINSIM_FOREIGN_AS(13, SetHotkey, WORD)
  WINSIM_FOREIGN_AS(14, GetShowCmd, int*)
  WINSIM_FOREIGN_AS(15, SetShowCmd, int)
  WINSIM_FOREIGN_AS(16, GetIconLocation, LPSTR, int, int*)
  WINSIM_FOREIGN_AS(17, SetIconLocation, LPCSTR, int)
  WINSIM_FOREIGN_AS(18, SetRelativePath, LPCSTR, DWORD)
  WINSIM_FOREIGN_AS(19, Resolve, HWND, DWORD)
  WINSIM_FOREIGN_AS(20, SetPath, LPCSTR)
};

class ShellLinkFace final : public Face<IShellLinkA> {
 public:
  using Face::Face;
  static constexpr const char* kName = "IShellLinkA";
  HRESULT STDMETHODCALLTYPE GetPath(LPSTR file, int chars, WIN32_FIND_DATAA* found, DWORD) final {
    return state_->GetPath(file, chars, found);
  }
  HRESULT STDMETHODCALLTYPE SetDescription(LPCSTR name) final { return state_->SetDescription(name); }
  HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCSTR dir) final {
    return state_->SetWorkingDirectory(dir);
  }
  HRESULT STDMETHODCALLTYPE SetIconLocation(LPCSTR iconPath, int icon) final {
    return state_->SetIconLocation(iconPath, icon);
  }
  HRESULT STDMETHODCALLTYPE SetPath(LPCSTR file) final { return state_->SetPath(file); }
  WINSIM_UNMODELLED(GetIDList, PIDLIST_ABSOLUTE*)
  WINSIM_UNMODELLED(SetIDList, PCIDLIST_ABSOLUTE)
  WINSIM_UNMODELLED(GetDescription, LPSTR, int)
  WINSIM_UNMODELLED(GetWorkingDirectory, LPSTR, int)
  WINSIM_UNMODELLED(GetArguments, LPSTR, int)
  WINSIM_UNMODELLED(SetArguments, LPCSTR)
  WINSIM_UNMODELLED(GetHotkey, WORD*)
  WINSIM_UNMODELLED(SetHotkey, WORD)
  WINSIM_UNMODELLED(GetShowCmd, int*)
  WINSIM_UNMODELLED(SetShowCmd, int)
  WINSIM_UNMODELLED(GetIconLocation, LPSTR, int, int*)
  WINSIM_UNMODELLED(SetRelativePath, LPCSTR, DWORD)
  WINSIM_UNMODELLED(Resolve, HWND, DWORD)
};

// The object's IPersistFile, its table as long as IShellLinkA's. (Under the
// sanitizer, a call through it as the link is reported by the check of the
// object's type before it reaches the slot.)
class PersistFileFace final : public Face<IPersistFile> {
 public:
  using Face::Face;
  static constexpr const char* kName = "IPersistFile";
  HRESULT STDMETHODCALLTYPE Load(LPCOLESTR file, DWORD) final { return state_->Load(file); }
  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR file, BOOL remember) final {
    return state_->Save(file, remember);
  }
  WINSIM_UNMODELLED(GetClassID, CLSID*)
  HRESULT STDMETHODCALLTYPE IsDirty() final { return state_->Unmodelled(kName, "IsDirty"); }
  WINSIM_UNMODELLED(SaveCompleted, LPCOLESTR)
  WINSIM_UNMODELLED(GetCurFile, LPOLESTR*)
  WINSIM_FOREIGN(9) WINSIM_FOREIGN(10) WINSIM_FOREIGN(11) WINSIM_FOREIGN(12) WINSIM_FOREIGN(13)
  WINSIM_FOREIGN(14) WINSIM_FOREIGN(15) WINSIM_FOREIGN(16) WINSIM_FOREIGN(17) WINSIM_FOREIGN(18)
  WINSIM_FOREIGN(19) WINSIM_FOREIGN(20)
};

#undef WINSIM_FOREIGN
#undef WINSIM_FOREIGN_AS
#undef WINSIM_UNMODELLED

// The object: its state and its three interfaces.
struct ShellLink {
  ShellLink() {
    state.unknown = &unknown;
    state.link = &link;
    state.file = &file;
  }
  ShellLink(const ShellLink&) = delete;
  ShellLink& operator=(const ShellLink&) = delete;
  LinkState state;
  UnknownFace unknown{&state};
  ShellLinkFace link{&state};
  PersistFileFace file{&state};
};

std::vector<std::unique_ptr<ShellLink>> objects;  // kept until Reset, to catch late calls

}  // namespace

void ResetShellLinks() {
  objects.clear();
  saves.clear();
}

HRESULT CreateShellLink(REFIID iid, void** out) {
  objects.push_back(std::make_unique<ShellLink>());
  return objects.back()->state.Query(iid, out);
}

int LiveComObjects() {
  int live = 0;
  for (const auto& o : objects) live += o->state.Live() ? 1 : 0;
  return live;
}
const std::vector<LinkSave>& LinkSaves() { return saves; }

bool WriteShellLink(const std::string& path, const ShellLinkFile& link) {
  return PutFile(path, LinkRecord(link));
}

bool ReadShellLink(const std::string& path, ShellLinkFile* link) {
  return ParseShellLink(FileData(path), link);
}

}  // namespace winsim
