#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "pairing/TestSupport.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/StorageDirectories.h"
#include "platform/storage/UserDefaults.h"

namespace brindlet::platform {
namespace {

using brindlet::testing::ScopedEnvironment;
using brindlet::testing::TempFolder;

std::string readText(const std::filesystem::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(StorageDirectories, FollowXDGVariablesAndIgnoreRelativeOnes) {
  ScopedEnvironment home("HOME", "/home/someone");
  {
    ScopedEnvironment config("XDG_CONFIG_HOME", "/tmp/c");
    ScopedEnvironment data("XDG_DATA_HOME", "/tmp/d");
    ScopedEnvironment cache("XDG_CACHE_HOME", "/tmp/k");
    EXPECT_EQ(StorageDirectories::configDirectory(), "/tmp/c");
    EXPECT_EQ(StorageDirectories::applicationSupportDirectory(), "/tmp/d");
    EXPECT_EQ(StorageDirectories::cachesDirectory(), "/tmp/k");
    EXPECT_EQ(UserDefaults::standardFile(), "/tmp/c/Nolu/io.tavix.nolu.host.json");
  }
  ScopedEnvironment relative("XDG_DATA_HOME", "relative/path");
  ScopedEnvironment empty("XDG_CACHE_HOME", "");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(StorageDirectories::configDirectory(), "/home/someone/.config");
  EXPECT_EQ(StorageDirectories::applicationSupportDirectory(), "/home/someone/.local/share");
  EXPECT_EQ(StorageDirectories::cachesDirectory(), "/home/someone/.cache");
}

TEST(UserDefaults, ValuesKeepTheirTypeAcrossARestart) {
  TempFolder folder;
  auto file = folder.path() / "Nolu" / "settings.json";
  {
    UserDefaults defaults(file);
    EXPECT_EQ(defaults.object("relay.enabled"), std::nullopt);
    defaults.set("relay.enabled", true);
    defaults.set("count", 1);
    defaults.set("text", "1");
    defaults.set("when", 1733834096.5);
    EXPECT_TRUE(defaults.setJSON("relay.denied", R"({"BAgI": 1733834096.0})"));
    EXPECT_FALSE(defaults.setJSON("relay.broken", "{"));
    defaults.set("gone", "soon");
    defaults.remove("gone");
  }
  UserDefaults reread(file);
  EXPECT_EQ(reread.boolean("relay.enabled"), true);
  EXPECT_EQ(reread.boolean("count"), std::nullopt);  // 1 is a number, not a Boolean
  EXPECT_EQ(reread.boolean("text"), std::nullopt);
  EXPECT_EQ(reread.string("text"), "1");
  EXPECT_EQ(reread.string("count"), std::nullopt);
  EXPECT_EQ(reread.number("count"), 1.0);
  EXPECT_EQ(reread.number("when"), 1733834096.5);
  auto denied = reread.object("relay.denied");
  ASSERT_TRUE(denied);
  auto parsed = nlohmann::json::parse(*denied);
  ASSERT_TRUE(parsed.is_object());
  EXPECT_TRUE(parsed["BAgI"].is_number_float());
  EXPECT_EQ(reread.object("relay.broken"), std::nullopt);
  EXPECT_EQ(reread.object("count"), "1");
  EXPECT_EQ(reread.object("gone"), std::nullopt);

  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The names in the folder that start with the file's name and ".unreadable-", with content.
std::map<std::string, std::string> asideCopies(const std::filesystem::path& file) {
  std::map<std::string, std::string> copies;
  std::string prefix = file.filename().string() + ".unreadable-";
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) copies[name] = entry.is_regular_file() ? readText(entry.path()) : "(folder)";
  }
  return copies;
}

TEST(UserDefaults, EveryUnreadableFileIsKeptAsideNotOverwritten) {
  TempFolder folder;
  auto file = folder.path() / "settings.json";
  const std::string contents[] = {"{\"hostID\": broken", "[1, 2]", "", "\"text\""};
  for (const auto& content : contents) {
    brindlet::testing::writeFile(file, bytesOf(content));
    UserDefaults defaults(file);
    EXPECT_EQ(defaults.object("hostID"), std::nullopt);
    defaults.set("hostID", "A");
    EXPECT_EQ(UserDefaults(file).string("hostID"), "A");
  }
  // One copy for each, none written over by the next.
  std::multiset<std::string> kept;
  for (const auto& [name, content] : asideCopies(file)) kept.insert(content);
  EXPECT_EQ(kept, std::multiset<std::string>(std::begin(contents), std::end(contents)));
}

TEST(UserDefaults, AFileThatCannotBeReadIsKeptAsideToo) {
  TempFolder folder;
  auto file = folder.path() / "settings.json";
  std::filesystem::create_directories(file / "inside");  // reading a folder fails
  UserDefaults defaults(file);
  defaults.set("launchAtLogin", true);
  EXPECT_EQ(UserDefaults(file).boolean("launchAtLogin"), true);
  EXPECT_EQ(asideCopies(file).size(), 1u);
}

TEST(AtomicFile, WritesReplaceWholeFilesAndExclusiveWritesDoNot) {
  TempFolder folder;
  auto file = folder.path() / "item";
  Bytes content;
  EXPECT_EQ(AtomicFile::read(file, content), ENOENT);
  EXPECT_EQ(AtomicFile::write(file, bytesOf("first"), 0600, true), 0);
  EXPECT_EQ(AtomicFile::write(file, bytesOf("second"), 0600, true), EEXIST);
  EXPECT_EQ(readText(file), "first");
  EXPECT_EQ(AtomicFile::write(file, bytesOf("third"), 0640), 0);
  EXPECT_EQ(AtomicFile::read(file, content), 0);
  EXPECT_EQ(content, bytesOf("third"));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.path())) ++entries;
  EXPECT_EQ(entries, 1);  // no temporary file left behind
  // A write into a missing folder fails and leaves nothing.
  EXPECT_EQ(AtomicFile::write(folder.path() / "missing" / "x", bytesOf("x"), 0600), ENOENT);
  // Folders get their mode even when they existed before.
  auto nested = folder.path() / "a" / "b";
  ASSERT_EQ(AtomicFile::makeFolder(nested, 0700), 0);
  ::chmod(nested.c_str(), 0755);
  ASSERT_EQ(AtomicFile::makeFolder(nested, 0700), 0);
  ASSERT_EQ(::stat(nested.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(AtomicFile::makeFolder(file / "sub", 0700), ENOTDIR);
}

}  // namespace
}  // namespace brindlet::platform
