// The agreement text is a resource of the installer's own file: a damaged
// file gives arbitrary bytes. Whatever they are, the dialog shows the text
// only when it begins as the product's own does, and refuses it with "70"
// otherwise.
#include <cstring>

#include "fuzz_machine.h"
#include "installer/agreement/agreement_dialog.h"
#include "installer/payload/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FreshMachine();
  std::string text(reinterpret_cast<const char*>(data), size);
  winsim::SetResource(kAgreementResource, text);
  winsim::Script({winsim::Enter()});
  INT_PTR result = DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_AGREEMENT), nullptr,
                                   AgreementDialog, 0);
  bool whole = size >= 11 && std::memcmp(data, "Quillmark", 9) == 0;
  Require(result == (whole ? 1 : 2), "only a text that begins with the product name is accepted");
  const winsim::DialogRecord& dialog = winsim::Dialogs().back();
  if (whole) {
    Require(winsim::DialogText(dialog, IDC_AGREEMENT_TEXT) == text.substr(0, text.find('\0')),
            "the text is shown as the resource holds it");
    Require(winsim::Notices().empty(), "a whole text shows no notice");
  } else {
    Require(winsim::DialogText(dialog, IDC_AGREEMENT_TEXT).empty(), "a damaged text is not shown");
    Require(winsim::Notices().size() == (size == 0 ? 0u : 1u), "one notice for a damaged text");
    Require(size == 0 || winsim::Notices()[0].caption == "ERROR 70", "the damage is reported as 70");
  }
  RequireSoundEnd();
  return 0;
}
