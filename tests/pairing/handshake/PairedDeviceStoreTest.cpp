#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "kit/pairing/PairedDeviceStore.h"
#include "pairing/TestSupport.h"
#include "platform/log/Log.h"

namespace brindlet {
namespace {

using testing::TempFolder;
namespace fs = std::filesystem;

Date at(const char* text) { return *parseISO8601(text); }

PairedDevice device(std::uint8_t n, std::string name, std::optional<Date> lastSeen = std::nullopt) {
  UUID id;
  id.bytes.fill(n);
  Bytes key(65, n);
  key[0] = 0x04;
  return PairedDevice{id, std::move(name), key, at("2026-12-10T09:08:07Z"), lastSeen};
}

// The device's record as the store writes it to its file.
nlohmann::json record(const PairedDevice& device) {
  TempFolder temp;
  fs::path file = temp.path() / "paired-devices.json";
  PairedDeviceStore(file).upsertPairedDevice(device);
  std::ifstream in(file, std::ios::binary);
  return nlohmann::json::parse(in).at(0);
}

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> folderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Records what is logged while it lives.
class LogCapture {
 public:
  LogCapture() {
    previous_ = platform::setLogObserver([this](const platform::LogRecord& record) {
      std::lock_guard guard(mutex_);
      messages_.push_back(record.message);
    });
  }
  ~LogCapture() { platform::setLogObserver(previous_); }
  std::string all() {
    std::lock_guard guard(mutex_);
    std::string text;
    for (const auto& m : messages_) text += m + "\n";
    return text;
  }

 private:
  platform::LogObserver previous_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

TEST(PairedDeviceStore, WritesTheFileExactlyOwnerOnlyIntoAFolderItMakes) {
  TempFolder temp;
  fs::path file = temp.path() / "Support" / "Nolu" / "paired-devices.json";
  PairedDeviceStore store(file);
  ASSERT_TRUE(store.upsertPairedDevice(device(0xAB, "Anna's \"iPad\"")));
  ASSERT_TRUE(store.upsertPairedDevice(device(0x01, "Phone", at("2026-12-10T10:00:00Z"))));

  std::string key1 = "BKurq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s=";
  std::string expected =
      "[\n"
      "  {\n"
      "    \"deviceID\": \"ABABABAB-ABAB-ABAB-ABAB-ABABABABABAB\",\n"
      "    \"name\": \"Anna's \\\"iPad\\\"\",\n"
      "    \"pairedAt\": \"2026-12-10T09:08:07Z\",\n"
      "    \"publicKey\": \"" +
      key1 +
      "\"\n"
      "  },\n"
      "  {\n"
      "    \"deviceID\": \"01010101-0101-0101-0101-010101010101\",\n"
      "    \"lastSeen\": \"2026-12-10T10:00:00Z\",\n"
      "    \"name\": \"Phone\",\n"
      "    \"pairedAt\": \"2026-12-10T09:08:07Z\",\n"
      "    \"publicKey\": "
      "\"BAEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=\"\n"
      "  }\n"
      "]";
  EXPECT_EQ(readText(file), expected);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Written through a temporary file that replaced the old one: nothing else is left.
  EXPECT_EQ(folderEntries(file.parent_path()), std::vector<std::string>{"paired-devices.json"});

  PairedDeviceStore reopened(file);
  EXPECT_EQ(reopened.allPairedDevices(), store.allPairedDevices());
}

TEST(PairedDeviceStore, DatesAreWholeSecondsInUTC) {
  Date withFraction = at("2026-02-28T23:59:59Z") + std::chrono::milliseconds(999);
  EXPECT_EQ(iso8601String(withFraction), "2026-02-28T23:59:59Z");
  EXPECT_EQ(iso8601String(at("2024-02-29T00:00:00Z")), "2024-02-29T00:00:00Z");
  for (const char* bad : {"2026-12-10T09:08:07.5Z", "2026-12-10T09:08:07+00:00", "2026-12-10 09:08:07Z",
                          "2026-12-10T09:08:07", "2026-02-30T00:00:00Z", "2026-12-10T24:00:00Z", "20261210T090807Z"})
    EXPECT_FALSE(parseISO8601(bad)) << bad;
}

TEST(PairedDeviceStore, DatesADateCannotHoldAreRefusedNotWrapped) {
  struct Case {
    const char* text;
    bool held;
  };
  const Case cases[] = {
      {"1677-09-21T00:12:43Z", false}, {"1677-09-21T00:12:44Z", true},  {"1970-01-01T00:00:00Z", true},
      {"2262-04-11T23:47:16Z", true},  {"2262-04-11T23:47:17Z", false}, {"8840-12-10T17:21:20Z", false},
      {"0000-01-01T00:00:00Z", false}, {"9999-12-31T23:59:59Z", false}, {"1000-01-01T00:00:00Z", false},
  };
  for (const auto& c : cases) {
    auto date = parseISO8601(c.text);
    EXPECT_EQ(date.has_value(), c.held) << c.text;
    if (date) {
      EXPECT_EQ(iso8601String(*date), c.text);
    }
  }
}

TEST(PairedDeviceStore, UpsertReplacesAndMovesToTheEndRemoveRewrites) {
  TempFolder temp;
  fs::path file = temp.path() / "paired-devices.json";
  PairedDeviceStore store(file);
  store.upsertPairedDevice(device(1, "One", at("2026-12-10T10:00:00Z")));
  store.upsertPairedDevice(device(2, "Two"));
  PairedDevice renewed = device(1, "One again");
  renewed.publicKey[5] = 0x77;
  store.upsertPairedDevice(renewed);
  auto all = PairedDeviceStore(file).allPairedDevices();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].name, "Two");
  EXPECT_EQ(all[1], renewed);
  EXPECT_FALSE(all[1].lastSeen);

  auto before = fs::last_write_time(file);
  std::string content = readText(file);
  UUID unknown;
  unknown.bytes.fill(9);
  EXPECT_FALSE(store.removePairedDevice(unknown));
  EXPECT_EQ(fs::last_write_time(file), before);
  EXPECT_EQ(readText(file), content);
  EXPECT_TRUE(store.removePairedDevice(renewed.deviceID));
  ASSERT_EQ(PairedDeviceStore(file).allPairedDevices().size(), 1u);
  EXPECT_EQ(PairedDeviceStore(file).allPairedDevices()[0].name, "Two");
}

TEST(PairedDeviceStore, DuplicatesLoadLookupsTakeTheFirstAndUpsertRemovesAll) {
  TempFolder temp;
  fs::path file = temp.path() / "paired-devices.json";
  nlohmann::json document =
      nlohmann::json::array({record(device(3, "First")), record(device(4, "Other")), record(device(3, "Second"))});
  testing::writeFile(file, bytesOf(document.dump()));
  PairedDeviceStore store(file);
  ASSERT_EQ(store.allPairedDevices().size(), 3u);
  EXPECT_EQ(store.pairedDevice(device(3, "").deviceID)->name, "First");
  store.upsertPairedDevice(device(3, "Third"));
  auto all = store.allPairedDevices();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].name, "Other");
  EXPECT_EQ(all[1].name, "Third");
}

TEST(PairedDeviceStore, UnknownMembersAreIgnoredAndLastSeenUpdates) {
  TempFolder temp;
  fs::path file = temp.path() / "paired-devices.json";
  nlohmann::json five = record(device(5, "Five"));
  five["future"] = {1, 2};
  testing::writeFile(file, bytesOf(nlohmann::json::array({five}).dump()));
  PairedDeviceStore store(file);
  ASSERT_EQ(store.allPairedDevices().size(), 1u);
  store.updatePairedDeviceDate(device(5, "").deviceID, at("2026-12-11T00:00:01Z"));
  EXPECT_EQ(PairedDeviceStore(file).pairedDevice(device(5, "").deviceID)->lastSeen, at("2026-12-11T00:00:01Z"));
  // Unknown device: nothing written.
  auto before = readText(file);
  store.updatePairedDeviceDate(device(6, "").deviceID, at("2026-12-12T00:00:00Z"));
  EXPECT_EQ(readText(file), before);
}

// A file that cannot be read as a whole starts an empty list, but its pairings are kept
// aside (renamed, content intact) before anything is written, and that is logged.
TEST(PairedDeviceStore, AnUnreadableFileIsKeptAsideNotOverwritten) {
  auto good = record(device(7, "Seven"));
  auto withKey = [&](const char* key, nlohmann::json value) {
    auto r = good;
    r[key] = value;
    return nlohmann::json::array({good, r}).dump();
  };
  auto without = [&](const char* key) {
    auto r = good;
    r.erase(key);
    return nlohmann::json::array({r}).dump();
  };
  const std::string cases[] = {
      withKey("pairedAt", "2026-12-10T09:08:07.250Z"),
      withKey("pairedAt", "8840-12-10T17:21:20Z"),
      withKey("lastSeen", "1200-01-01T00:00:00Z"),
      withKey("name", std::string(PairedDeviceStore::maximumNameBytes + 1, 'n')),
      without("name"),
      withKey("publicKey", "not base64!"),
      withKey("deviceID", "ABABABAB"),
      withKey("lastSeen", 5),
      "{\"deviceID\": 1}",
      "[",
      "",
  };
  for (const auto& content : cases) {
    TempFolder temp;
    fs::path file = temp.path() / "paired-devices.json";
    testing::writeFile(file, bytesOf(content));
    LogCapture log;
    PairedDeviceStore store(file);
    EXPECT_TRUE(store.allPairedDevices().empty()) << content;
    EXPECT_NE(log.all().find("unreadable paired-device file kept as"), std::string::npos) << log.all();

    ASSERT_TRUE(store.upsertPairedDevice(device(8, "New")));
    auto entries = folderEntries(temp.path());
    ASSERT_EQ(entries.size(), 2u) << content;
    EXPECT_EQ(entries[0], "paired-devices.json");
    EXPECT_EQ(entries[1].rfind("paired-devices.json.unreadable-", 0), 0u) << entries[1];
    EXPECT_EQ(readText(temp.path() / entries[1]), content);
    EXPECT_EQ(PairedDeviceStore(file).allPairedDevices().size(), 1u);
  }
}

TEST(PairedDeviceStore, AFileTooLargeToLoadIsKeptAsideWithAClearError) {
  TempFolder temp;
  fs::path file = temp.path() / "paired-devices.json";
  nlohmann::json many = nlohmann::json::array();
  for (int i = 0; i < 6000; ++i) many.push_back(record(device(static_cast<std::uint8_t>(i), "Device")));
  std::string content = many.dump();
  ASSERT_GT(content.size(), PairedDeviceStore::maximumFileBytes);
  testing::writeFile(file, bytesOf(content));
  LogCapture log;
  PairedDeviceStore store(file);
  EXPECT_TRUE(store.allPairedDevices().empty());
  EXPECT_NE(log.all().find("paired devices could not be read: the file is larger than 1048576 bytes"),
            std::string::npos)
      << log.all();
  ASSERT_TRUE(store.upsertPairedDevice(device(8, "New")));
  auto entries = folderEntries(temp.path());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(readText(temp.path() / entries[1]), content);
}

TEST(PairedDeviceStore, TheStoreWritesNothingItCouldNotReadBack) {
  TempFolder temp;
  fs::path file = temp.path() / "paired-devices.json";
  PairedDeviceStore store(file);
  // A name too long is cut where a character starts ("é" is two bytes).
  std::string longName;
  while (longName.size() < PairedDeviceStore::maximumNameBytes + 10) longName += "\xC3\xA9";
  longName = "x" + longName;
  ASSERT_TRUE(store.upsertPairedDevice(device(1, longName)));
  auto loaded = PairedDeviceStore(file).allPairedDevices();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].name, longName.substr(0, PairedDeviceStore::maximumNameBytes - 1));

  // A list that would outgrow the file's limit is not saved, and stays as it was.
  std::string big(PairedDeviceStore::maximumNameBytes, 'b');
  int saved = 0;
  for (int i = 2; i < 256 && store.upsertPairedDevice(device(static_cast<std::uint8_t>(i), big)); ++i) ++saved;
  EXPECT_GT(saved, 100);
  EXPECT_LT(saved, 254);
  EXPECT_EQ(store.allPairedDevices().size(), static_cast<std::size_t>(saved + 1));
  EXPECT_EQ(PairedDeviceStore(file).allPairedDevices().size(), static_cast<std::size_t>(saved + 1));
}

TEST(PairedDeviceStore, AReadErrorAlsoKeepsThePathAside) {
  TempFolder temp;
  fs::path file = temp.path() / "paired-devices.json";
  fs::create_directories(file / "inside");  // reading a folder fails
  PairedDeviceStore store(file);
  EXPECT_TRUE(store.allPairedDevices().empty());
  ASSERT_TRUE(store.upsertPairedDevice(device(9, "Nine")));
  EXPECT_EQ(folderEntries(temp.path()).size(), 2u);
  EXPECT_EQ(PairedDeviceStore(file).allPairedDevices().size(), 1u);
}

TEST(PairedDeviceStore, AFailedSaveIsReportedAndLeavesTheListAsItWas) {
  TempFolder temp;
  testing::writeFile(temp.path() / "blocker", bytesOf("a file where a folder should be"));
  PairedDeviceStore store(temp.path() / "blocker" / "paired-devices.json");
  EXPECT_FALSE(store.upsertPairedDevice(device(1, "One")));
  EXPECT_TRUE(store.allPairedDevices().empty());
  EXPECT_FALSE(store.pairedDevice(device(1, "").deviceID));
}

TEST(PairedDeviceStore, WithoutAFileItLivesInMemory) {
  PairedDeviceStore store;
  EXPECT_TRUE(store.upsertPairedDevice(device(1, "One")));
  EXPECT_TRUE(store.upsertPairedDevice(device(2, "Two")));
  EXPECT_TRUE(store.removePairedDevice(device(1, "").deviceID));
  ASSERT_EQ(store.allPairedDevices().size(), 1u);
  EXPECT_EQ(store.allPairedDevices()[0].name, "Two");
}

TEST(PairedDeviceStore, DefaultFileIsInTheApplicationSupportFolder) {
  TempFolder temp;
  testing::ScopedEnvironment data("XDG_DATA_HOME", temp.path().string());
  EXPECT_EQ(defaultPairedDevicesURL(), temp.path() / "Nolu" / "paired-devices.json");
}

}  // namespace
}  // namespace brindlet
