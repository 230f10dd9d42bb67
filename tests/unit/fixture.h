// Every case starts on a fresh simulated machine and a load-time installer
// state, and ends by checking that nothing was left open or misused.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/state.h"
#include "resources/resource_ids.h"
#include "szdd.h"
#include "winsim/control.h"

// The user's own shell folders on the simulated machine; Quick Launch lies
// under the local application data, where the shell of the time kept it.
inline constexpr char kStartMenu[] = "C:\\Users\\Ann\\Start Menu";
inline constexpr char kDesktop[] = "C:\\Users\\Ann\\Desktop";
inline constexpr char kLocalAppData[] = "C:\\Users\\Ann\\AppData\\Local";
inline constexpr char kQuickLaunch[] =
    "C:\\Users\\Ann\\AppData\\Local\\Microsoft\\Internet Explorer\\Quick Launch";

// `name` in `folder`, as the simulated machine spells paths.
inline std::string In(const std::string& folder, const std::string& name) {
  return folder + "\\" + name;
}

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::Reset();
    ResetInstallerState();
    // The control ids of the module's dialog templates, in template order.
    winsim::DefineDialog(IDD_LOCATION, IDD_LOCATION_CONTROLS);
    winsim::DefineDialog(IDD_PROGRESS, IDD_PROGRESS_CONTROLS);
    winsim::DefineDialog(IDD_AGREEMENT, IDD_AGREEMENT_CONTROLS);
  }
  void TearDown() override { EXPECT_EQ(Leftovers(), ""); }

  // The first thing a run left open, unfreed or misused, or "".
  static std::string Leftovers() {
    if (winsim::OpenHandleCount()) return "a file handle was left open";
    if (winsim::OpenRegKeyCount()) return "a registry key was left open";
    if (winsim::OpenInternetHandleCount()) return "an internet handle was left open";
    if (winsim::LiveLocalAllocs()) return "a system text was not freed";
    if (winsim::LiveShellAllocations()) return "shell memory was not given back";
    if (winsim::LiveComObjects()) return "a COM object is still referenced";
    if (winsim::LiveGdiObjects()) return "a brush or font was not deleted";
    return winsim::Misuse().empty() ? "" : winsim::Misuse().front();
  }

  // Ends the case and starts a fresh one, for a table of cases in one test.
  void Fresh() {
    TearDown();
    SetUp();
  }

  // Makes the user's shell folders and has the shell answer with them.
  static void GiveUserShellFolders() {
    for (const char* f : {kStartMenu, kDesktop, kQuickLaunch}) winsim::MakeFolders(f);
    winsim::SetSpecialFolder(CSIDL_STARTMENU, kStartMenu);
    winsim::SetSpecialFolder(CSIDL_DESKTOPDIRECTORY, kDesktop);
    winsim::SetSpecialFolder(CSIDL_LOCAL_APPDATA, kLocalAppData);
  }

  static std::string Packed(const std::string& plain) {
    std::vector<unsigned char> z =
        SzddCompress(reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    return std::string(z.begin(), z.end());
  }

  // Whether the run showed exactly one notice, with this caption and text.
  static ::testing::AssertionResult OnlyNotice(const std::string& caption,
                                               const std::string& text) {
    const std::vector<winsim::Notice>& all = winsim::Notices();
    if (all.size() == 1 && all[0].caption == caption && all[0].text == text)
      return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "expected only \"" << caption << "\": \"" << text << "\", shown " << all.size();
    for (const winsim::Notice& n : all)
      failure << "\n  \"" << n.caption << "\": \"" << n.text << "\"";
    return failure;
  }

  static std::vector<std::string> Captions() {
    std::vector<std::string> out;
    for (const winsim::Notice& n : winsim::Notices()) out.push_back(n.caption);
    return out;
  }
};
