// Folder names reach the validator from the shell's folder browser and from
// the recorded "Path" in the registry, which anyone may have edited. Whatever
// the text, a folder is either accepted, existing, entered and in the drive
// form, or refused with exactly one of the validator's notices; in a
// single-byte code page and in a double-byte one.
#include <cstring>
#include <set>

#include "core/path.h"
#include "fuzz_machine.h"
#include "installer/install.h"
#include "installer/location/location.h"
#include "installer/payload/payload.h"

namespace {

const std::set<std::string> kRefusals = {"ERROR 11", "ERROR 12", "ERROR 13", "ERROR 14",
                                         "ERROR 15", "ERROR 16", "ERROR 27"};

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Whether the text's last character is a backslash, walked here character by
// character with the code page's own lead bytes, apart from the helpers the
// validator uses.
bool EndsInBackslashCharacter(const char* text) {
  bool backslash = false;
  for (size_t i = 0; text[i] != '\0';) {
    bool pair = IsDBCSLeadByte(static_cast<BYTE>(text[i])) && text[i + 1] != '\0';
    backslash = !pair && text[i] == '\\';
    i += pair ? 2 : 1;
  }
  return backslash;
}

void ValidateDirectly(const std::string& text) {
  char folder[kPathSize];
  std::memset(folder, 0, sizeof folder);
  std::memcpy(folder, text.data(), std::min(text.size(), sizeof folder - 1));
  bool accepted = ValidateInstallFolder(folder, true);
  size_t len = std::strlen(folder);
  if (accepted) {
    Require(winsim::Notices().empty(), "an accepted folder shows nothing");
    Require(IsLetter(folder[0]) && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '\0'),
            "an accepted folder has the drive form");
    Require(len > 0 && !EndsInBackslashCharacter(folder),
            "an accepted folder has no trailing backslash");
    Require(len + 13 + 20 <= MAX_PATH, "an accepted folder leaves room for the program's path");
    Require(winsim::IsFolder(folder), "an accepted folder exists");
    Require(winsim::IsFolder(winsim::CurrentDirectory()), "the current directory is a folder");
  } else {
    Require(winsim::Notices().size() == 1 && kRefusals.count(winsim::Notices()[0].caption),
            "a refused folder shows exactly one of the validator's notices");
  }
}

// A whole run whose location dialog gets the folder from the browser or from
// the registry; the agreement is declined, so nothing is installed.
void RunWith(bool browser, const std::string& text, bool terminated) {
  winsim::SetResource(kAgreementResource, "Quillmark 2003\r\nAgreement.\r\n");
  if (browser) {
    winsim::QueueBrowse(text.substr(0, text.find('\0')));
    winsim::Script({winsim::Press(IDC_CHANGE), winsim::Enter(), winsim::Escape(), winsim::Escape()});
  } else {
    winsim::SetRegValue("HKLM\\SOFTWARE\\Kestrel", "Path", REG_SZ,
                        terminated ? text + std::string(1, '\0') : text);
    winsim::Script({winsim::Enter(), winsim::Escape(), winsim::Escape()});
  }
  Require(RunInstaller(nullptr) == 0, "the run ends with 0");
  for (const winsim::Notice& n : winsim::Notices())
    Require(kRefusals.count(n.caption) == 1, "only the validator's notices are shown");
  for (const winsim::DialogRecord& d : winsim::Dialogs())
    if (d.templateId == IDD_LOCATION)
      Require(winsim::DialogText(d, IDC_FOLDER).size() < static_cast<size_t>(kPathSize),
              "the location dialog shows a folder that fits");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FreshMachine();
  FuzzInput in{data, size};
  uint8_t source = in.Byte();
  // A Japanese code page, where a path's bytes are not its characters.
  if (source & 0x40) winsim::SetAnsiCodePage(932);
  uint8_t driveType = in.Byte() % 7;
  winsim::SetDriveType('D', driveType);
  if (driveType != DRIVE_NO_ROOT_DIR) winsim::MakeFolders("D:\\Apps");
  std::string text = in.Rest();
  switch (source % 3) {
    case 0:
      ValidateDirectly(text);
      break;
    case 1:
      RunWith(true, text, true);
      break;
    default:
      RunWith(false, text, (source & 0x80) != 0);
      break;
  }
  RequireSoundEnd();
  return 0;
}
