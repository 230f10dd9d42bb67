// The resource script and the code must never disagree: these tests read the
// script and hold it to the payload table and to the dialog templates that
// winsim is given.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "installer/payload/payload.h"
#include "resources/resource_ids.h"

namespace {

std::string Script() {
  std::ifstream in(QUIL_SOURCE_DIR "/resources/quil.rc.in");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ResourceScript, CarriesExactlyThePayloadTableAndTheMainProgram) {
  std::string script = Script();
  ASSERT_FALSE(script.empty());
  std::map<int, std::string> files;
  std::regex line("(^|\\n)(\\d+) FILE \"(@[A-Z]+@)/([^\"]+)\"");
  for (auto it = std::sregex_iterator(script.begin(), script.end(), line);
       it != std::sregex_iterator(); ++it)
    EXPECT_TRUE(files.emplace(std::stoi((*it)[2]), (*it)[3].str() + "/" + (*it)[4].str()).second);
  EXPECT_EQ(files.size(), static_cast<size_t>(kPayloadRows + 1));
  EXPECT_EQ(files[kMainProgramResource], "@PACKED@/Quillmark.exe");
  for (const PayloadEntry& row : kPayloadTable) {
    std::string want = std::string(row.storage == kRaw ? "@PAYLOAD@/" : "@PACKED@/") + row.name;
    EXPECT_EQ(files[row.resourceId], want) << "resource " << row.resourceId;
  }
}

std::vector<int> ControlIds(const std::string& script, const std::string& dialog) {
  size_t start = script.find(dialog + " DIALOG");
  size_t end = script.find("\nEND", start);
  std::map<std::string, int> names = {{"IDOK", 1}, {"IDCANCEL", 2}, {"IDC_FOLDER", IDC_FOLDER},
                                      {"IDC_CHANGE", IDC_CHANGE},
                                      {"IDC_AGREEMENT_TEXT", IDC_AGREEMENT_TEXT}, {"-1", -1}};
  std::vector<int> ids;
  std::regex control("CONTROL (\"(?:[^\"]|\"\")*\"|\\w+), ([-\\w]+),");
  std::string body = script.substr(start, end - start);
  for (auto it = std::sregex_iterator(body.begin(), body.end(), control);
       it != std::sregex_iterator(); ++it)
    ids.push_back(names.count((*it)[2]) ? names[(*it)[2]] : -999);
  return ids;
}

TEST(ResourceScript, DialogControlsAreTheOnesTheTestsSimulate) {
  std::string script = Script();
  EXPECT_EQ(ControlIds(script, "IDD_LOCATION"),
            (std::vector<int>{1, 2, IDC_FOLDER, IDC_CHANGE, -1, -1}));
  EXPECT_EQ(ControlIds(script, "IDD_PROGRESS"), (std::vector<int>{-1}));
  EXPECT_EQ(ControlIds(script, "IDD_AGREEMENT"),
            (std::vector<int>{1, 2, IDC_AGREEMENT_TEXT, -1}));
}

}  // namespace
