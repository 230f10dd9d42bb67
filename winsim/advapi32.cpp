// advapi32, the registry: hives of keys holding typed values, names matched
// without regard to case, handles with the access they were opened for, and
// the access an ACL would refuse.
#include <algorithm>
#include <cstring>
#include <map>

#include "winsim/machine.h"

namespace winsim {

struct RegValue {
  std::string name;  // as first written
  DWORD type = REG_NONE;
  std::string data;
};

struct RegKey {
  std::string name;  // full path as first created
  std::map<std::string, RegValue> values;  // by upper-case name
};

struct RegHandle {
  std::string key;  // upper-case full path
  REGSAM access;
};

struct Denial {
  std::string key;
  RegDenial denial;
};

struct Registry {
  std::map<std::string, RegKey> keys;  // by upper-case full path
  std::map<uintptr_t, RegHandle> handles;
  uintptr_t nextHandle = 0x2000;
  std::vector<Denial> denials;
  int lostWriteCountdown = 0;
};

static Registry& R() {
  static Registry registry;
  return registry;
}

static const char* const kHives[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                     "HKEY_LOCAL_MACHINE"};

void ResetRegistry() {
  R() = Registry();
  for (const char* hive : kHives) R().keys[hive].name = hive;
}

// "HKCU\Software" and "HKEY_CURRENT_USER\Software" name the same key.
static std::string FullName(const std::string& key) {
  static const std::pair<const char*, const char*> kShort[] = {
      {"HKCR", "HKEY_CLASSES_ROOT"}, {"HKCU", "HKEY_CURRENT_USER"}, {"HKLM", "HKEY_LOCAL_MACHINE"}};
  std::string head = key.substr(0, key.find('\\'));
  for (const auto& s : kShort)
    if (Upper(head) == s.first) return s.second + key.substr(head.size());
  return key;
}

static bool Covers(const std::string& prefix, const std::string& key) {
  return key == prefix || (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0 &&
                           key[prefix.size()] == '\\');
}

static bool Denied(const std::string& key, RegDenial denial) {
  for (const Denial& d : R().denials)
    if (d.denial == denial && Covers(d.key, key)) return true;
  return false;
}

// The hive a predefined handle names (they are sign-extended on 64-bit), or -1.
static int HiveOf(HKEY h) {
  uintptr_t first = reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT);
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  return v >= first && v - first < 3 ? static_cast<int>(v - first) : -1;
}

// The key a handle stands for: a hive's predefined handle or an open key.
static bool KeyOfHandle(HKEY h, std::string* key, REGSAM* access) {
  int hive = HiveOf(h);
  if (hive >= 0) {
    *key = kHives[hive];
    *access = KEY_READ | KEY_WRITE;
    return true;
  }
  auto it = R().handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == R().handles.end()) return false;
  *key = it->second.key;
  *access = it->second.access;
  return true;
}

// The key a subkey path names below a handle's key: its full name as written
// and its lookup key. Empty components are refused as the system does; a
// null or empty path names the key itself.
static LONG SubKeyOf(HKEY key, const char* subKey, std::string* display, std::string* target) {
  std::string base;
  REGSAM access;
  if (!KeyOfHandle(key, &base, &access)) return ERROR_INVALID_HANDLE;
  // A handle outlives a key deleted under it; the key is not brought back.
  auto it = R().keys.find(base);
  if (it == R().keys.end()) return ERROR_KEY_DELETED;
  *display = it->second.name;
  std::string rest(subKey ? subKey : "");
  while (!rest.empty() && rest.back() == '\\') rest.pop_back();
  if (!rest.empty()) {
    if (rest[0] == '\\' || rest.find("\\\\") != std::string::npos) return ERROR_BADKEY;
    *display += "\\" + rest;
  }
  *target = Upper(*display);
  return ERROR_SUCCESS;
}

// The key one level up, or "" for a hive.
static std::string ParentKeyName(const std::string& key) {
  size_t at = key.rfind('\\');
  return at == std::string::npos ? "" : key.substr(0, at);
}

static HKEY NewHandle(const std::string& key, REGSAM access) {
  uintptr_t h = R().nextHandle;
  R().nextHandle += 4;
  R().handles[h] = RegHandle{key, access};
  return reinterpret_cast<HKEY>(h);
}

// Fault injection for calls that return their status rather than setting it.
static bool RegFault(const char* call, LONG* status) {
  DWORD saved = M().lastError;
  bool fail = ShouldFail(call);
  if (fail) *status = static_cast<LONG>(M().lastError);
  M().lastError = saved;
  return fail;
}

static const RegKey* FindKey(const std::string& key) {
  auto it = R().keys.find(Upper(FullName(key)));
  return it == R().keys.end() ? nullptr : &it->second;
}

static const RegValue* FindValue(const std::string& key, const std::string& name) {
  const RegKey* k = FindKey(key);
  if (!k) return nullptr;
  auto it = k->values.find(Upper(name));
  return it == k->values.end() ? nullptr : &it->second;
}

static RegKey& MakeKey(const std::string& key) {
  std::string full = FullName(key);
  std::string upper = Upper(full);
  for (size_t i = 0; i <= full.size(); ++i) {
    if (i != full.size() && full[i] != '\\') continue;
    RegKey& k = R().keys[upper.substr(0, i)];
    if (k.name.empty()) k.name = full.substr(0, i);
  }
  return R().keys[upper];
}

// ---- control API ------------------------------------------------------------

void SetRegValue(const std::string& key, const std::string& name, DWORD type,
                 const std::string& data) {
  RegValue& v = MakeKey(key).values[Upper(name)];
  if (v.name.empty()) v.name = name;
  v.type = type;
  v.data = data;
}
void SetRegString(const std::string& key, const std::string& name, const std::string& text) {
  SetRegValue(key, name, REG_SZ, text + std::string(1, '\0'));
}
void SetRegNumber(const std::string& key, const std::string& name, DWORD value) {
  char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  SetRegValue(key, name, REG_DWORD, std::string(bytes, 4));
}
bool RegKeyExists(const std::string& key) { return FindKey(key) != nullptr; }
bool RegValueExists(const std::string& key, const std::string& name) {
  return FindValue(key, name) != nullptr;
}
DWORD RegType(const std::string& key, const std::string& name) {
  const RegValue* v = FindValue(key, name);
  return v ? v->type : REG_NONE;
}
std::string RegData(const std::string& key, const std::string& name) {
  const RegValue* v = FindValue(key, name);
  return v ? v->data : std::string();
}
std::string RegString(const std::string& key, const std::string& name) {
  std::string data = RegData(key, name);
  return data.substr(0, data.find('\0'));
}
DWORD RegNumber(const std::string& key, const std::string& name) {
  std::string data = RegData(key, name);
  DWORD value = 0;
  for (size_t i = 0; i < 4 && i < data.size(); ++i)
    value |= static_cast<DWORD>(static_cast<unsigned char>(data[i])) << (8 * i);
  return value;
}
std::vector<std::string> RegValueNames(const std::string& key) {
  std::vector<std::string> names;
  if (const RegKey* k = FindKey(key))
    for (const auto& v : k->values) names.push_back(v.second.name);
  std::sort(names.begin(), names.end());
  return names;
}
void DenyRegistry(const std::string& key, RegDenial denial) {
  R().denials.push_back(Denial{Upper(FullName(key)), denial});
}
void DropRegistryHandles() { R().handles.clear(); }
std::map<std::string, RegState> RegistryValues() {
  std::map<std::string, RegState> values;
  for (const auto& k : R().keys)
    for (const auto& v : k.second.values)
      values[k.second.name + "\\[" + v.second.name + "]"] = RegState{v.second.type, v.second.data};
  return values;
}
void LoseRegWrite(int nth) { R().lostWriteCountdown = nth; }
std::vector<std::string> RegistryKeys() {
  std::vector<std::string> keys;
  for (const auto& k : R().keys) keys.push_back(k.second.name);
  return keys;
}
int OpenRegKeyCount() { return static_cast<int>(R().handles.size()); }

}  // namespace winsim

using namespace winsim;

static const REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  LONG status;
  if (RegFault("RegCreateKeyExA", &status)) return status;
  if (result == nullptr || reserved != 0) return ERROR_INVALID_PARAMETER;
  std::string display, target;
  if ((status = SubKeyOf(key, subKey, &display, &target)) != ERROR_SUCCESS) return status;
  Note("reg create " + display + " access " + std::to_string(access) + " options " +
       std::to_string(options) + (keyClass == nullptr ? " class null" : " class \"" + std::string(keyClass) + "\""));
  bool exists = R().keys.count(target) != 0;
  if (Denied(target, kDenyOpen)) return ERROR_ACCESS_DENIED;
  if (Denied(target, kDenyWrite) && (!exists || (access & kWriteAccess))) return ERROR_ACCESS_DENIED;
  if (!exists) MakeKey(display);
  if (disposition) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *result = NewHandle(target, access);
  return ERROR_SUCCESS;
}

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
  LONG status;
  if (RegFault("RegOpenKeyA", &status)) return status;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::string display, target;
  if ((status = SubKeyOf(key, subKey, &display, &target)) != ERROR_SUCCESS) return status;
  if (!R().keys.count(target)) return ERROR_FILE_NOT_FOUND;
  if (Denied(target, kDenyOpen)) return ERROR_ACCESS_DENIED;
  // The old call asks for the most the caller may have.
  REGSAM access = Denied(target, kDenyWrite) ? KEY_READ : (KEY_READ | KEY_WRITE);
  *result = NewHandle(target, access);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  Checkpoint("RegCloseKey");
  if (HiveOf(key) >= 0) return ERROR_SUCCESS;
  if (R().handles.erase(reinterpret_cast<uintptr_t>(key)) == 0) {
    M().misuse.push_back("RegCloseKey of a key that is not open");
    return ERROR_INVALID_HANDLE;
  }
  return ERROR_SUCCESS;
}

// The key behind a handle opened with the access `needed`: KEY_QUERY_VALUE to
// read, KEY_SET_VALUE to set or delete values (which a denial refuses too).
static LONG KeyWithAccess(HKEY key, REGSAM needed, RegKey** out) {
  std::string k;
  REGSAM access;
  if (!KeyOfHandle(key, &k, &access)) return ERROR_INVALID_HANDLE;
  if ((access & needed) != needed || ((needed & KEY_SET_VALUE) && Denied(k, kDenyWrite)))
    return ERROR_ACCESS_DENIED;
  auto kit = R().keys.find(k);
  if (kit == R().keys.end()) return ERROR_KEY_DELETED;
  *out = &kit->second;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size) {
  LONG status;
  if (RegFault("RegQueryValueExA", &status)) return status;
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
  RegKey* k;
  if ((status = KeyWithAccess(key, KEY_QUERY_VALUE, &k)) != ERROR_SUCCESS) return status;
  auto vit = k->values.find(Upper(name ? name : ""));
  if (vit == k->values.end()) return ERROR_FILE_NOT_FOUND;
  const RegValue& v = vit->second;
  if (type) *type = v.type;
  DWORD needed = static_cast<DWORD>(v.data.size());
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (needed) std::memcpy(data, v.data.data(), needed);
  }
  if (size) *size = needed;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
  LONG status;
  if (RegFault("RegSetValueExA", &status)) return status;
  if (reserved != 0 || (data == nullptr && size != 0)) return ERROR_INVALID_PARAMETER;
  RegKey* k;
  if ((status = KeyWithAccess(key, KEY_SET_VALUE, &k)) != ERROR_SUCCESS) return status;
  std::string valueName = name ? name : "";
  Note("reg set " + k->name + " [" + valueName + "]");
  if (R().lostWriteCountdown > 0 && --R().lostWriteCountdown == 0) return ERROR_SUCCESS;
  RegValue& v = k->values[Upper(valueName)];
  if (v.name.empty()) v.name = valueName;
  v.type = type;
  v.data.assign(reinterpret_cast<const char*>(data), size);
  return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  LONG status;
  if (RegFault("RegDeleteKeyA", &status)) return status;
  if (subKey == nullptr || *subKey == '\0') return ERROR_BADKEY;
  std::string display, target;
  if ((status = SubKeyOf(key, subKey, &display, &target)) != ERROR_SUCCESS) return status;
  if (!R().keys.count(target)) return ERROR_FILE_NOT_FOUND;
  if (Denied(target, kDenyOpen) || Denied(target, kDenyWrite)) return ERROR_ACCESS_DENIED;
  // A key with subkeys is not deleted.
  for (const auto& k : R().keys)
    if (k.first != target && Covers(target, k.first)) return ERROR_ACCESS_DENIED;
  R().keys.erase(target);
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  LONG status;
  if (RegFault("RegOpenKeyExA", &status)) return status;
  if (result == nullptr || options != 0) return ERROR_INVALID_PARAMETER;
  std::string display, target;
  if ((status = SubKeyOf(key, subKey, &display, &target)) != ERROR_SUCCESS) return status;
  if (!R().keys.count(target)) return ERROR_FILE_NOT_FOUND;
  if (Denied(target, kDenyOpen)) return ERROR_ACCESS_DENIED;
  if (Denied(target, kDenyWrite) && (access & kWriteAccess)) return ERROR_ACCESS_DENIED;
  *result = NewHandle(target, access);
  return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
  LONG status;
  if (RegFault("RegDeleteValueA", &status)) return status;
  RegKey* k;
  if ((status = KeyWithAccess(key, KEY_SET_VALUE, &k)) != ERROR_SUCCESS) return status;
  std::string valueName = name ? name : "";
  if (!k->values.erase(Upper(valueName))) return ERROR_FILE_NOT_FOUND;
  Note("reg delete " + k->name + " [" + valueName + "]");
  return ERROR_SUCCESS;
}

// Only the counts of subkeys and values are modelled; every other output
// must be null.
LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classSize, LPDWORD reserved,
                      LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                      LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                      LPDWORD securityDescriptorSize, PFILETIME lastWriteTime) {
  LONG status;
  if (RegFault("RegQueryInfoKeyA", &status)) return status;
  if (keyClass || classSize || reserved || maxSubKeyLength || maxClassLength ||
      maxValueNameLength || maxValueLength || securityDescriptorSize || lastWriteTime) {
    M().misuse.push_back("RegQueryInfoKeyA asked for what winsim does not model");
    return ERROR_INVALID_PARAMETER;
  }
  RegKey* k;
  if ((status = KeyWithAccess(key, KEY_QUERY_VALUE, &k)) != ERROR_SUCCESS) return status;
  if (subKeys) {
    *subKeys = 0;
    for (const auto& other : R().keys)
      if (ParentKeyName(other.first) == Upper(k->name)) ++*subKeys;
  }
  if (values) *values = static_cast<DWORD>(k->values.size());
  return ERROR_SUCCESS;
}
