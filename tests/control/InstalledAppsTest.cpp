// The installed-apps cache: a second request within the minute reuses the scan, a changed
// folder or the minute's end scans again, icons are drawn once and hashed with 64-bit FNV-1a,
// and an app the last scan did not find has no icon.

#include <gtest/gtest.h>

#include "host/control/SystemInstalledApps.h"
#include "kit/support/Task.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;

TEST(InstalledAppsHash, IsFNV1aOfThePNGAndZeroForNone) {
  EXPECT_EQ(iconHash({}), 0u);
  EXPECT_EQ(iconHash({'a'}), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(iconHash({'f', 'o', 'o', 'b', 'a', 'r'}), 0x85944171f73967e8ull);
}

class InstalledAppsCacheTest : public ::testing::Test {
 protected:
  InstalledAppsCacheTest() {
    InstalledAppsScanner scanner;
    scanner.scan = [this] {
      ++scans;
      return entries;
    };
    scanner.rootsSignature = [this] { return signature; };
    scanner.iconPNG = [this](const std::string& bundleID, const std::string& path) {
      drawn.push_back(bundleID + " " + path);
      return bundleID == "org.example.Mail.desktop" ? Bytes{} : Bytes{'a'};
    };
    provider = std::make_shared<SystemInstalledApps>(std::move(scanner), loop.clock, 60);
  }

  template <class T>
  T await(asio::awaitable<T> operation) {
    std::optional<T> result;
    Task task = Task::spawn(loop.strand(), collect(std::move(operation), &result));
    loop.settle();
    EXPECT_TRUE(result.has_value());
    return result.value_or(T{});
  }
  template <class T>
  static asio::awaitable<void> collect(asio::awaitable<T> operation, std::optional<T>* out) {
    *out = co_await std::move(operation);
  }

  brindlet::testing::TestLoop loop;
  std::vector<InstalledAppEntry> entries{{"org.example.Editor.desktop", "Editor", "/apps/editor.desktop"},
                                         {"org.example.Mail.desktop", "Mail", "/apps/mail.desktop"}};
  std::vector<std::optional<std::int64_t>> signature{100, std::nullopt};
  int scans = 0;
  std::vector<std::string> drawn;
  std::shared_ptr<SystemInstalledApps> provider;
};

TEST_F(InstalledAppsCacheTest, ListsEachAppWithItsIconHash) {
  auto apps = await(provider->apps());
  EXPECT_EQ(apps, (std::vector<InstalledApp>{{"org.example.Editor.desktop", "Editor", 0xaf63dc4c8601ec8cull},
                                             {"org.example.Mail.desktop", "Mail", 0}}));
  EXPECT_EQ(drawn, (std::vector<std::string>{"org.example.Editor.desktop /apps/editor.desktop",
                                             "org.example.Mail.desktop /apps/mail.desktop"}));
}

TEST_F(InstalledAppsCacheTest, RescansAfterTheIntervalOrWhenAFolderChangedAndDrawsIconsOnce) {
  await(provider->apps());
  loop.advance(59s);
  await(provider->apps());
  EXPECT_EQ(scans, 1);

  loop.advance(1s);
  entries.push_back({"org.example.Paint.desktop", "Paint", "/apps/paint.desktop"});
  EXPECT_EQ(await(provider->apps()).size(), 3u);
  EXPECT_EQ(scans, 2);

  entries.pop_back();
  signature[1] = 5;  // a folder that appeared
  EXPECT_EQ(await(provider->apps()).size(), 2u);
  EXPECT_EQ(scans, 3);
  EXPECT_EQ(drawn.size(), 3u);  // Editor, Mail, Paint: each once
}

TEST_F(InstalledAppsCacheTest, IconsAreThoseOfTheLastScan) {
  EXPECT_TRUE(await(provider->icon("org.example.Editor.desktop")).empty());  // nothing scanned yet
  await(provider->apps());
  EXPECT_EQ(await(provider->icon("org.example.Editor.desktop")), (Bytes{'a'}));
  EXPECT_TRUE(await(provider->icon("org.example.Mail.desktop")).empty());
  EXPECT_TRUE(await(provider->icon("org.example.Unknown.desktop")).empty());
  EXPECT_EQ(drawn.size(), 2u);
}

}  // namespace
}  // namespace brindlet::host
