// Running apps on the test X server with desktop entries in the test's own XDG folders: an
// entry launched through GIO is listed under its ID with its icon and window, becomes the most
// recent app when its window is activated, and leaves the recent list when quitting ended it;
// a window of no entry is "pid.N"; unknown and unstartable entries fail with their reasons.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "host/control/SystemAppProvider.h"
#include "host/control/SystemAppQuitter.h"
#include "kit/support/SystemClock.h"
#include "platform/apps/RunningDesktopApps.h"
#include "platform/image/ImageCodec.h"
#include "platform/windows/ManagedTestWindow.h"
#include "platform/windows/WindowManager.h"

namespace brindlet::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using brindlet::testing::ManagedTestWindow;

constexpr const char* fixtureID = "org.example.FixtureEditor.desktop";

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// The folders, made before the first use of GLib reads the XDG variables.
struct Folders {
  fs::path root;
  Folders() {
    std::string pattern = (fs::temp_directory_path() / "running-apps-XXXXXX").string();
    root = mkdtemp(pattern.data());
    setenv("XDG_DATA_HOME", (root / "home").c_str(), 1);
    setenv("XDG_DATA_DIRS", (root / "system").c_str(), 1);
    fs::create_directories(root / "system");
    // A picture's format is told by the shared MIME database of the data folders.
    if (fs::exists("/usr/share/mime")) fs::create_directory_symlink("/usr/share/mime", root / "system" / "mime");
    platform::RGBAImage blue{16, 16, Bytes(16 * 16 * 4, 0)};
    for (std::size_t i = 0; i < blue.rgba.size(); i += 4) {
      blue.rgba[i + 2] = 255;
      blue.rgba[i + 3] = 255;
    }
    auto png = platform::encodePNG(blue);
    std::ofstream(root / "fixture.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png->data()), std::streamsize(png->size()));
    write(root / "home/applications" / fixtureID,
          std::string("[Desktop Entry]\nType=Application\nName=Fixture Editor\nExec=") + APP_WINDOW_TEST_APP +
              " FixtureEditor \"Fixture window\"\nStartupWMClass=FixtureEditor\nIcon=" +
              (root / "fixture.png").string() + "\n");
    write(root / "home/applications/org.example.Gone.desktop",
          "[Desktop Entry]\nType=Application\nName=Gone\nExec=/bin/true\nPath=/nonexistent/brindlet-gone\n");
  }
  ~Folders() { fs::remove_all(root); }
};

class SystemRunningAppsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { folders = new Folders(); }
  static void TearDownTestSuite() { delete folders; }

  void SetUp() override {
    manager = platform::WindowManager::open();
    events = WindowEvents::make(io.get_executor());
    provider = SystemAppProvider::make(io.get_executor(), SystemClock::shared(), manager, events, nullptr);
  }
  void TearDown() override {
    provider.reset();
    events.reset();
    io.run_for(50ms);
  }

  // Runs the loop (whose window watch never ends by itself) until `work` is done.
  template <class T>
  T run(asio::awaitable<T> work) {
    auto future = asio::co_spawn(io, std::move(work), asio::use_future);
    for (int i = 0; i < 200 && future.wait_for(0s) != std::future_status::ready; ++i) {
      io.restart();
      io.run_for(50ms);
    }
    return future.get();
  }
  // Runs the loop until `condition` holds, for at most ten seconds.
  bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 200; ++i) {
      if (condition()) return true;
      io.restart();
      io.run_for(50ms);
    }
    return condition();
  }
  const AppInfo* find(const std::vector<AppInfo>& apps, const std::string& bundleID) {
    for (const auto& a : apps) {
      if (a.bundleID == bundleID) return &a;
    }
    return nullptr;
  }

  static inline Folders* folders = nullptr;
  asio::io_context io;
  std::shared_ptr<platform::WindowManager> manager;
  std::shared_ptr<WindowEvents> events;
  std::shared_ptr<SystemAppProvider> provider;
};

TEST_F(SystemRunningAppsTest, ALaunchedEntryIsListedFollowedAsRecentAndQuit) {
  SystemAppLauncher launcher(provider);
  ASSERT_FALSE(launcher.runningPID(fixtureID));
  run(launcher.launch(fixtureID));
  ASSERT_TRUE(eventually([&] { return launcher.runningPID(fixtureID).has_value(); }));
  const std::int32_t pid = *launcher.runningPID(fixtureID);
  EXPECT_TRUE(platform::processAlive(pid));
  // The app goes with the test, whatever fails.
  std::shared_ptr<void> endApp(nullptr, [pid](void*) {
    if (platform::processAlive(pid)) ::kill(pid, SIGTERM);
  });

  ManagedTestWindow stranger({.title = "Stranger window", .appClass = "BrindletStranger", .x = 500, .y = 300});
  // No desktop entry names it: its icon is the one its window gives.
  stranger.setIcon(16, 8, 0xFF00C000);
  std::vector<AppInfo> apps;
  ASSERT_TRUE(eventually([&] {
    apps = run(provider->snapshot());
    return find(apps, fixtureID) && find(apps, "pid." + std::to_string(getpid()));
  }));
  const AppInfo* fixture = find(apps, fixtureID);
  EXPECT_EQ(fixture->pid, pid);
  EXPECT_EQ(fixture->name, "Fixture Editor");
  ASSERT_EQ(fixture->windows.size(), 1u);
  EXPECT_EQ(fixture->windows[0].title, "Fixture window");
  EXPECT_TRUE(fixture->windows[0].isOnScreen);
  auto icon = platform::decodePNG(fixture->icon);
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->width, 128);
  const std::uint8_t* centre = &icon->rgba[(64 * 128 + 64) * 4];
  EXPECT_EQ((std::vector<int>{centre[0], centre[1], centre[2], centre[3]}), (std::vector<int>{0, 0, 255, 255}));
  EXPECT_EQ(find(apps, "pid." + std::to_string(getpid()))->name, "BrindletStranger");
  auto ownIcon = platform::decodePNG(find(apps, "pid." + std::to_string(getpid()))->icon);
  ASSERT_TRUE(ownIcon);
  ASSERT_EQ(ownIcon->width, 128);
  const std::uint8_t* middle = &ownIcon->rgba[(64 * 128 + 64) * 4];
  EXPECT_EQ((std::vector<int>{middle[0], middle[1], middle[2], middle[3]}), (std::vector<int>{0, 0xC0, 0, 255}));
  EXPECT_EQ(ownIcon->rgba[3], 0) << "a wide icon is centred on a transparent square";

  // Activating each window puts its app first.
  const std::uint32_t fixtureWindow = fixture->windows[0].id;
  manager->activate(stranger.id());
  EXPECT_TRUE(eventually([&] {
    auto recent = run(provider->recentPIDs());
    return !recent.empty() && recent.front() == getpid();
  }));
  manager->activate(fixtureWindow);
  EXPECT_TRUE(eventually([&] {
    auto recent = run(provider->recentPIDs());
    return recent.size() >= 2 && recent[0] == pid && recent[1] == getpid();
  }));
  EXPECT_EQ(provider->frontmostPID(), pid);

  // Quitting closes its window; the process ends and leaves the recent list.
  EXPECT_TRUE(SystemAppQuitter(manager).quit(pid));
  EXPECT_TRUE(eventually([&] { return !platform::processAlive(pid); }));
  EXPECT_TRUE(eventually([&] {
    auto recent = run(provider->recentPIDs());
    return std::find(recent.begin(), recent.end(), pid) == recent.end();
  }));
  EXPECT_FALSE(launcher.runningPID(fixtureID));
}

TEST_F(SystemRunningAppsTest, UnknownAndUnstartableEntriesFailWithTheirReasons) {
  SystemAppLauncher launcher(provider);
  auto reason = [&](const std::string& id) -> std::string {
    try {
      run(launcher.launch(id));
    } catch (const LaunchFailure& failure) {
      return failure.reason();
    }
    return "started";
  };
  EXPECT_EQ(reason("org.example.Missing.desktop"), "App not found");
  EXPECT_EQ(reason(""), "App not found");
  EXPECT_EQ(reason("org.example.Gone.desktop"), "Couldn\u2019t open the app");
}

}  // namespace
}  // namespace brindlet::host
