#include "installer/payload/replace_main_program.h"

#include "installer/notices.h"
#include "installer/path.h"
#include "installer/payload/payload.h"
#include "installer/state.h"

// Expands the new program beside the old one and moves it into place. The
// in-use and version tests and the image test come with their own work.
ReplaceOutcome ReplaceMainProgram() {
  char imagePath[kPathSize];
  if (!PathJoin(g_state.installFolder, "image.tmp", imagePath, sizeof imagePath)) return Failed;
  SetFileAttributesA(g_state.mainProgramPath, FILE_ATTRIBUTE_NORMAL);
  if (!WriteCompressedResource(kMainProgramResource, g_state.installFolder, "image.tmp")) {
    SystemErrorNotice(GetLastError(), "34");
    return Failed;
  }
  DeleteWithRetry(g_state.mainProgramPath);
  if (!MoveFileA(imagePath, g_state.mainProgramPath)) {
    SystemErrorNotice(GetLastError(), "37");
    DeleteWithRetry(imagePath);
    return Failed;
  }
  return Replaced;
}
