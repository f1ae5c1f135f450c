// Pruning the inbox: old transfer folders go, kept ones, recent ones and plain files stay.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "host/control/HostInbox.h"

namespace brindlet::host {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using std::chrono::system_clock;

class HostInboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inbox.root = fs::temp_directory_path() / ("inbox-test-" + std::to_string(getpid()));
    fs::remove_all(inbox.root);
    fs::create_directories(inbox.root);
  }
  void TearDown() override { fs::remove_all(inbox.root); }

  // An entry last modified `age` before `now`.
  void make(const std::string& name, seconds age, bool folder = true) {
    const fs::path path = inbox.root / name;
    if (folder) {
      fs::create_directories(path / "inside");
      std::ofstream(path / "inside" / "photo.jpg") << "x";
    } else {
      std::ofstream(path) << "x";
    }
    const auto when = system_clock::to_time_t(now - age);
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  HostInbox inbox;
  const system_clock::time_point now = system_clock::from_time_t(2'000'000'000);
};

TEST_F(HostInboxTest, OldTransferFoldersGoAndEverythingElseStays) {
  const struct {
    std::string name;
    seconds age;
    bool folder;
    bool survives;
  } entries[] = {
      {"101", seconds(86'400), true, true},       // exactly a day: kept
      {"102", seconds(86'401), true, false},      // a second older: removed
      {"103", seconds(10 * 86'400), true, true},  // a kept transfer, whatever its age
      {"104", seconds(60), true, true},
      {"notes.txt", seconds(10 * 86'400), false, true},  // plain files are never removed
  };
  for (const auto& e : entries) make(e.name, e.age, e.folder);
  inbox.prune(86'400, now, {103});
  for (const auto& e : entries) EXPECT_EQ(fs::exists(inbox.root / e.name), e.survives) << e.name;
}

TEST_F(HostInboxTest, AMissingInboxIsNoError) {
  HostInbox missing{inbox.root / "absent"};
  missing.prune(86'400, now, {});
  EXPECT_FALSE(fs::exists(missing.root));
}

}  // namespace
}  // namespace brindlet::host
