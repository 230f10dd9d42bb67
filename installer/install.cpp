#include "installer/install.h"

#include <cstring>

#include "core/library_search.h"
#include "core/path.h"
#include "core/system_folders.h"
#include "installer/agreement/agreement_dialog.h"
#include "installer/backdrop/backdrop.h"
#include "installer/crash/crash_filter.h"
#include "installer/integration/integration.h"
#include "installer/integration/registry.h"
#include "installer/location/location.h"
#include "installer/location/location_dialog.h"
#include "installer/notices.h"
#include "installer/payload/payload.h"
#include "installer/payload/replace_main_program.h"
#include "installer/state.h"
#include "resources/resource_ids.h"

static void FetchSystemFolders() {
  if (!FetchWindowsDirectory(g_state.windowsDirectory))
    ErrorNotice("Unable to locate Windows directory", "2");
  if (!FetchTempFolder(g_state.tempFolder)) ErrorNotice("Unable to locate temp path.", "3");
}

// Shows the location dialog until a folder is accepted; false on Cancel.
static bool ChooseInstallFolder(const char* proposed) {
  for (;;) {
    CopyText(g_state.installFolder, kPathSize, proposed);
    INT_PTR result = DialogBoxParamA(g_state.instance, MAKEINTRESOURCEA(IDD_LOCATION),
                                     g_state.backdropWindow, LocationDialogProc, 0);
    if (result == -1) ErrorNotice("Unable to initialize", "43");
    if (result != 1) return false;
    if (ValidateInstallFolder(g_state.installFolder, true)) return true;
  }
}

static void SetInstallDrive() {
  CopyText(g_state.installDrive, sizeof g_state.installDrive, "C:");
  if (g_state.installFolder[0] != '\0' && g_state.installFolder[1] == ':')
    g_state.installDrive[0] = g_state.installFolder[0];
}

int RunInstaller(HINSTANCE instance) {
  ComposeKeyPaths();
  SetErrorMode(SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(CrashFilter);
  InitCommonControls();
  g_state.instance = instance;
  g_state.backdropWindow = CreateBackdropWindow(instance);
  if (!PrepareRegistry()) return 0;
  FetchSystemFolders();
  FindProgramFiles();

  char proposed[kPathSize];
  std::memset(proposed, 0, sizeof proposed);
  g_state.previousInstallFound = ProposeInstallFolder(proposed) ? 1 : 0;
  if (!ChooseInstallFolder(proposed)) return 0;

  SetInstallDrive();
  if (g_state.tempFolder[0] == '\0') CopyText(g_state.tempFolder, kPathSize, g_state.installDrive);
  PathJoin(g_state.installFolder, g_state.mainProgramName, g_state.mainProgramPath, kPathSize);
  SetFileAttributesA(g_state.installFolder, FILE_ATTRIBUTE_NORMAL);

  if (DialogBoxParamA(g_state.instance, MAKEINTRESOURCEA(IDD_AGREEMENT), g_state.backdropWindow,
                      AgreementDialog, 0) != 1)
    return 0;

  HWND progress = CreateDialogParamA(g_state.instance, MAKEINTRESOURCEA(IDD_PROGRESS),
                                     g_state.backdropWindow, LocationDialogProc, 0);
  switch (ReplaceMainProgram()) {
    case InUse:
      ErrorNotice(
          "Unable to overwrite existing quillmark.exe file; installation aborted.  If your "
          "existing copy of Quillmark is running, please shut it down and try again.  Otherwise, "
          "rebooting your computer should take care of the problem.",
          "4");
      return 0;
    case NewerPresent:
      ErrorNotice(
          "A more recent version of Quillmark already exists at the install location.  "
          "Installation aborted.",
          "5");
      return 0;
    case Failed:
      return 0;
    case Replaced:
      break;
  }

  for (int row = 0; row < kPayloadRows - 1; ++row) WritePayloadEntry(kPayloadTable[row], "");
  RecordInstallerPath();
  RegisterAppPath();
  bool uninstallEntry = RegisterUninstall();
  WritePayloadEntry(kPayloadTable[kPayloadRows - 1],
                    uninstallEntry ? g_state.windowsDirectory : g_state.installFolder);
  CreateShortcuts();
  SetCurrentDirectoryA(g_state.installFolder);
  ShellExecuteA(g_state.backdropWindow, "open", g_state.mainProgramName, "", g_state.installFolder,
                SW_SHOWMAXIMIZED);
  if (progress) DestroyWindow(progress);
  return 0;
}

int RunQuil(HINSTANCE instance, const ResourceDigest* digests, int count) {
  RestrictLibrarySearch();
  if (!ResourcesIntact(instance, digests, count)) {
    ErrorNotice("Quil.exe installer file is damaged.  Please download it again.", "80");
    return 0;
  }
  return RunInstaller(instance);
}
