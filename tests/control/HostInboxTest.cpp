// Pruning the inbox: old transfer folders go, kept ones, recent ones and plain files stay.
// Naming: offered names made safe, short enough and distinct.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <unicode/unistr.h>

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

std::string times(std::string_view piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// True when `text` is valid UTF-8 (it survives a round trip through ICU unchanged).
bool isValidUTF8(const std::string& text) {
  std::string back;
  icu::UnicodeString::fromUTF8(text).toUTF8String(back);
  return back == text;
}

TEST(FileNaming, SanitizedNames) {
  const std::pair<std::string, std::string> cases[] = {
      {"holiday.jpg", "holiday.jpg"},
      {"../../etc/passwd", "_.._etc_passwd"},
      {"..\\..\\boot.ini", "_.._boot.ini"},
      {"C:\\Users\\ada\\notes.txt", "C:_Users_ada_notes.txt"},
      {"  .hidden  ", "hidden"},
      {". . .profile", "profile"},                       // dots and blanks in turn: never a hidden file
      {"\xC2\xA0report.pdf\xE2\x80\x83", "report.pdf"},  // no-break and em spaces
      {"...", "file"},
      {"", "file"},
      {"\x01\x02\x7f\t\n", "file"},
      {"a\tb\nc\rd\x1b.txt", "abcd.txt"},
      {std::string("nul\0byte.txt", 12), "nulbyte.txt"},
      {"/", "_"},
      {"bad\xFFutf8.txt", "bad\xEF\xBF\xBDutf8.txt"},  // malformed bytes become U+FFFD
  };
  for (const auto& [offered, safe] : cases) EXPECT_EQ(sanitizedFileName(offered), safe) << offered;
}

TEST(FileNaming, LengthLimits) {
  const std::string family =
      "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // 18 bytes, one grapheme
  const std::string japanese = ".\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";  // ".日本語", 10 bytes, 4 characters
  const struct {
    std::string name;
    std::string limited;
  } cases[] = {
      {"short.txt", "short.txt"},
      {times("a", 295) + ".jpeg", times("a", 195) + ".jpeg"},
      {times("\xC3\xA9", 150) + ".jpeg", times("\xC3\xA9", 97) + ".jpeg"},  // é is 2 bytes: 199, never half a one
      // A multi-byte extension takes off its bytes only, no further characters of the stem.
      {times("a", 195) + japanese, times("a", 190) + japanese},
      {"x" + times(family, 12) + ".png", "x" + times(family, 10) + ".png"},              // graphemes stay whole
      {times("a", 250) + "." + times("b", 20), times("a", 179) + "." + times("b", 20)},  // 20 bytes: kept
      {times("a", 250) + "." + times("b", 21), times("a", 200)},                         // 21 bytes: cut away
      {times("\xE6\x97\xA5", 70), times("\xE6\x97\xA5", 66)},
      {times(family, 20), times(family, 11)},
  };
  for (const auto& c : cases) {
    const std::string limited = limitFileNameLength(c.name, 200);
    EXPECT_EQ(limited, c.limited) << c.name;
    EXPECT_LE(limited.size(), 200u);
    EXPECT_TRUE(isValidUTF8(limited));
  }
  // A budget too small for "file" and the extension gives the extension up.
  EXPECT_EQ(limitFileNameLength(times("\xE6\x97\xA5", 3) + ".txt", 6), times("\xE6\x97\xA5", 2));
  EXPECT_EQ(sanitizedFileName(times("a", 295) + ".jpeg"), times("a", 195) + ".jpeg");
}

TEST(FileNaming, UniqueNamesDifferBeyondCase) {
  const struct {
    std::vector<std::string> offered;
    std::vector<std::string> names;
  } cases[] = {
      {{"Report.pdf", "report.pdf", "Report.pdf"}, {"Report.pdf", "report 2.pdf", "Report 3.pdf"}},
      {{"notes", "NOTES", "notes"}, {"notes", "NOTES 2", "notes 3"}},
      {{"\xC3\x84rger.txt", "\xC3\xA4rger.txt"}, {"\xC3\x84rger.txt", "\xC3\xA4rger 2.txt"}},  // Ärger, ärger
      {{"a/b.txt", "a\\b.txt", "a_b.txt"}, {"a_b.txt", "a_b 2.txt", "a_b 3.txt"}},
      {{"", "...", "file"}, {"file", "file 2", "file 3"}},
      {{"photo.jpg", "photo.jpeg"}, {"photo.jpg", "photo.jpeg"}},
      {{times("a", 250) + ".txt", times("a", 260) + ".txt"}, {times("a", 196) + ".txt", times("a", 194) + " 2.txt"}},
      {{"a." + times("b", 198), "a." + times("b", 198)}, {"a." + times("b", 198), "a." + times("b", 196) + " 2"}},
  };
  for (const auto& c : cases) {
    const auto names = uniqueFileNames(c.offered);
    EXPECT_EQ(names, c.names) << c.offered.front();
    for (const auto& name : names) EXPECT_LE(name.size(), 200u);
  }
}

}  // namespace
}  // namespace brindlet::host
