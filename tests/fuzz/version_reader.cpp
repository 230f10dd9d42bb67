// The bytes of an existing Quillmark.exe belong to anyone who can write to
// the install folder. Whatever they are, the installer reads a version only
// from a fixed file information that the file really carries, refuses only a
// newer one, and otherwise puts its own program in their place.
#include <cstring>

#include "core/path.h"
#include "fuzz_machine.h"
#include "installer/payload/payload.h"
#include "installer/payload/replace_main_program.h"
#include "szdd.h"

namespace {

const char kFolder[] = "C:\\Program Files\\Quillmark";
const char kProgram[] = "C:\\Program Files\\Quillmark\\Quillmark.exe";
const char kCarried[] = "MZ the carried program";

// Whether the bytes hold a signed fixed file information with this version;
// where the file ends inside it, the rest reads as 0, never as anything else.
bool Carries(const std::string& bytes, DWORD major, DWORD low) {
  const std::string sig("\xBD\x04\xEF\xFE", 4);
  std::string padded = bytes + std::string(16, '\0');
  for (size_t at = bytes.find(sig); at != std::string::npos; at = bytes.find(sig, at + 1)) {
    DWORD ms, ls;
    std::memcpy(&ms, padded.data() + at + 8, 4);
    std::memcpy(&ls, padded.data() + at + 12, 4);
    if ((ms >> 16) == major && ls == low) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string packed = [] {
    std::vector<unsigned char> z =
        SzddCompress(reinterpret_cast<const unsigned char*>(kCarried), sizeof kCarried - 1);
    return std::string(z.begin(), z.end());
  }();
  FreshMachine();
  winsim::MakeFolders(kFolder);
  CopyText(g_state.installFolder, kPathSize, kFolder);
  CopyText(g_state.tempFolder, kPathSize, "C:\\TEMP\\");
  CopyText(g_state.mainProgramPath, kPathSize, kProgram);
  winsim::SetResource(kMainProgramResource, packed);
  std::string bytes(reinterpret_cast<const char*>(data), size);
  winsim::PutFile(kProgram, bytes);

  DWORD major = 7, low = 7;
  bool found = ReadFileVersion(kProgram, &major, &low);
  Require(found || (major == 0 && low == 0), "nothing is read when no version is found");
  Require((major == 0 && low == 0) || Carries(bytes, major, low),
          "a version comes from a fixed file information the file carries");
  bool newer = major > 1 || (major == 1 && low > 1);

  ReplaceOutcome outcome = ReplaceMainProgram();
  Require(outcome == (newer ? NewerPresent : Replaced), "only a newer copy is kept");
  Require(winsim::FileData(kProgram) == (newer ? bytes : std::string(kCarried)),
          "the main program is the kept copy or the carried one");
  Require(!winsim::Exists("C:\\Program Files\\Quillmark\\image.tmp"), "no image.tmp is left");
  RequireSoundEnd();
  return 0;
}
