#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ScriptFolders.h"
#include "platform/TrustedKeyFolders.h"

namespace qor {
namespace {

TEST(ScriptFoldersTest, UserFolderThenSystemFoldersThenTheProgramsOwn) {
  struct Row {
    const char* what;
    const char* dataHome;
    const char* dataDirs;
    const char* home;
    std::vector<std::string> expected;
  };
  const std::vector<Row> rows = {
      {"nothing set: the defaults",
       nullptr,
       nullptr,
       "/home/ann",
       {"/home/ann/.local/share/qor/scripts", "/usr/local/share/qor/scripts",
        "/usr/share/qor/scripts", "/opt/qor/bin"}},
      {"empty values count as unset",
       "",
       "",
       "/home/ann/",
       {"/home/ann/.local/share/qor/scripts", "/usr/local/share/qor/scripts",
        "/usr/share/qor/scripts", "/opt/qor/bin"}},
      {"both set, relative entries ignored",
       "/data/ann",
       "/srv/share:relative/share:/usr/share/",
       "/home/ann",
       {"/data/ann/qor/scripts", "/srv/share/qor/scripts", "/usr/share/qor/scripts",
        "/opt/qor/bin"}},
      {"a relative data home falls back to HOME",
       "share",
       "/usr/share",
       "/home/ann",
       {"/home/ann/.local/share/qor/scripts", "/usr/share/qor/scripts", "/opt/qor/bin"}},
      {"no home at all",
       nullptr,
       "/usr/share",
       nullptr,
       {"/usr/share/qor/scripts", "/opt/qor/bin"}},
      {"a folder named twice is read once, where it comes first",
       "/usr/share",
       "/usr/share:/usr/share/",
       "/home/ann",
       {"/usr/share/qor/scripts", "/opt/qor/bin"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(XdgScriptFolders("/opt/qor/bin", row.dataHome, row.dataDirs, row.home), row.expected)
        << row.what;
  }
}

TEST(ScriptFoldersTest, TrustedKeysAreTheUsersThenTheSystems) {
  struct Row {
    const char* what;
    const char* configHome;
    const char* home;
    std::vector<std::string> expected;
  };
  const std::vector<Row> rows = {
      {"nothing set: the default",
       nullptr,
       "/home/ann",
       {"/home/ann/.config/qor/trusted-keys", "/etc/qor/trusted-keys"}},
      {"config home set",
       "/cfg/ann/",
       "/home/ann",
       {"/cfg/ann/qor/trusted-keys", "/etc/qor/trusted-keys"}},
      {"a relative config home falls back to HOME",
       "cfg",
       "/home/ann/",
       {"/home/ann/.config/qor/trusted-keys", "/etc/qor/trusted-keys"}},
      {"an empty one too",
       "",
       "/home/ann",
       {"/home/ann/.config/qor/trusted-keys", "/etc/qor/trusted-keys"}},
      {"no home at all: the system's alone", nullptr, nullptr, {"/etc/qor/trusted-keys"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(XdgTrustedKeyFolders(row.configHome, row.home), row.expected) << row.what;
  }
#ifdef _WIN32
  EXPECT_EQ(TrustedKeyFolders("C:\\QOR"), std::vector<std::string>{"C:\\QOR\\trusted-keys"});
#endif
}

}  // namespace
}  // namespace qor
