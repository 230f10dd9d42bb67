// The values the installer reads back from the registry were written by
// earlier runs, by the application, or by anyone with a registry editor:
// any type, any size, with or without a terminator. The readers and the
// start-up that probes, records and carries values over must take them all.
#include <cstring>
#include <map>
#include <vector>

#include "core/path.h"
#include "fuzz_machine.h"
#include "installer/integration/integration.h"
#include "installer/integration/registry.h"
#include "installer/location/location.h"

namespace {

const char kSettings[] = "HKCU\\Software\\Kestrel\\Quillmark\\Settings";
const char kMachine[] = "HKLM\\SOFTWARE\\Kestrel";

struct Slot {
  const char* key;
  const char* name;
};
const Slot kSlots[] = {{kSettings, "Path"},      {kSettings, "Installed"}, {kSettings, "patch"},
                       {kSettings, "nolmaccess"}, {kMachine, "Path"},      {kMachine, "patch"},
                       {kMachine, "Installed"},   {kSettings, "PATH"}};
const DWORD kTypes[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, 7, 11};

// Whether a stored value fits a buffer of `size` bytes with a terminator.
bool Fits(const std::string& d, size_t size) {
  return d.size() < size || (d.size() == size && d.back() == '\0');
}

// Reads every slot through the installer's readers into buffers of exactly
// the sizes it uses, and checks each answer against what is stored.
void ReadEverySlot() {
  for (const Slot& slot : kSlots) {
    HKEY key;
    HKEY root = slot.key == kSettings ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    if (OpenRegKey(root, slot.key + 5, kKeyAccess, &key) != ERROR_SUCCESS) continue;
    bool exists = winsim::RegValueExists(slot.key, slot.name);
    std::string stored = winsim::RegData(slot.key, slot.name);
    for (DWORD size : {1u, 15u, 255u, 520u}) {
      std::vector<char> buffer(size, 'x');
      LONG status = ReadRegString(key, slot.name, buffer.data(), size);
      Require((status == ERROR_SUCCESS) == (exists && Fits(stored, size)),
              "a string is read exactly when it fits with its terminator");
      if (status == ERROR_SUCCESS)
        Require(std::memchr(buffer.data(), '\0', size) &&
                    buffer.data() == stored.substr(0, stored.find('\0')),
                "a string read is the stored text, terminated");
    }
    DWORD number = 0;
    LONG status = ReadRegNumber(key, slot.name, &number);
    Require((status == ERROR_SUCCESS) == (exists && stored.size() <= 4),
            "a number is read when it fits four bytes");
    RegCloseKey(key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FreshMachine();
  FuzzInput in{data, size};
  bool userDenied = false;
  while (in.More()) {
    uint8_t what = in.Byte();
    if (what % 10 == 8) {
      winsim::DenyRegistry("HKLM\\SOFTWARE", winsim::kDenyWrite);
      continue;
    }
    if (what % 10 == 9) {
      winsim::DenyRegistry("HKCU\\Software\\Kestrel", winsim::kDenyWrite);
      userDenied = true;
      continue;
    }
    const Slot& slot = kSlots[what % 10];
    uint8_t t = in.Byte();
    DWORD type = t < 7 ? kTypes[t] : t;
    size_t length = in.Byte() | (in.Byte() << 8);
    winsim::SetRegValue(slot.key, slot.name, type, in.Bytes(length % 1200));
  }
  ComposeKeyPaths();
  ReadEverySlot();
  std::string settingsPath = winsim::RegData(kSettings, "Path");
  bool hadSettingsPath = winsim::RegValueExists(kSettings, "Path");
  std::string machinePath = winsim::RegString(kMachine, "Path");

  bool ready = PrepareRegistry();
  Require(ready == !userDenied, "start-up goes on exactly when the user's key is writable");
  if (ready) {
    Require(winsim::RegString(kSettings, "patch") == "blank", "the user's probe is stored");
    DWORD flag = winsim::RegNumber(kSettings, "nolmaccess");
    Require(flag == g_state.nolmaccess && flag <= 1, "nolmaccess is 0 or 1, as stored");
    if (!flag) {
      bool carried = hadSettingsPath && Fits(settingsPath, 255);
      Require(winsim::RegString(kMachine, "Path") ==
                  (carried ? settingsPath.substr(0, settingsPath.find('\0')) : machinePath),
              "a recorded folder that fits is carried over, any other is left");
    }
    FindProgramFiles();
    char proposed[kPathSize];
    std::memset(proposed, 0, sizeof proposed);
    ProposeInstallFolder(proposed);
    Require(std::memchr(proposed, '\0', sizeof proposed), "the proposal is a terminated text");
  }
  RequireSoundEnd();
  return 0;
}
