// Test-side control of advapi32's registry: seed and read keys and values,
// refuse access the way an ACL would, lose a write, and list everything a run
// leaves.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

// The registry. Keys are named from their hive, "HKEY_CURRENT_USER\Software\..."
// or "HKCU\Software\..." (HKLM, HKCR likewise); key and value names match
// without regard to case; "" names a key's default value.
void SetRegValue(const std::string& key, const std::string& name, DWORD type,
                 const std::string& data);  // creates the key and its parents
void SetRegString(const std::string& key, const std::string& name, const std::string& text);
void SetRegNumber(const std::string& key, const std::string& name, DWORD value);
bool RegKeyExists(const std::string& key);
bool RegValueExists(const std::string& key, const std::string& name);
DWORD RegType(const std::string& key, const std::string& name);  // REG_NONE when absent
std::string RegData(const std::string& key, const std::string& name);  // raw bytes
// A REG_SZ value's text: its data up to the first NUL.
std::string RegString(const std::string& key, const std::string& name);
DWORD RegNumber(const std::string& key, const std::string& name);  // 0 when absent
std::vector<std::string> RegValueNames(const std::string& key);    // as written, sorted
// Access the user lacks at a key and everything below it, the way an ACL
// would refuse it. kDenyWrite refuses creating keys there, opening them for
// writing and setting values; kDenyOpen refuses every open.
enum RegDenial { kDenyWrite, kDenyOpen };
void DenyRegistry(const std::string& key, RegDenial denial);
// The nth RegSetValueExA (1 = the next) reports success and stores nothing.
void LoseRegWrite(int nth);
int OpenRegKeyCount();  // keys opened by the installer and not yet closed

// Every registry value, named "KEY\[name]" from its hive, with its type and bytes.
struct RegState {
  DWORD type;
  std::string data;
  bool operator==(const RegState& o) const { return type == o.type && data == o.data; }
};
std::map<std::string, RegState> RegistryValues();
// Every key of the registry by its full name, sorted: with RegistryValues, a
// record of a key left empty too.
std::vector<std::string> RegistryKeys();

}  // namespace winsim
