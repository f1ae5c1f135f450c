#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/power/DBusMock.h"
#include "platform/update/Updater.h"
#include "support/TextRecorder.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;
using testing::DBusMock;

constexpr DBusMock::Object packageKit{"org.freedesktop.PackageKit", "/org/freedesktop/PackageKit"};
constexpr DBusMock::Object transaction{"org.freedesktop.PackageKit", "/tx"};

// The Python of a mock transaction method: it announces `packages` (IDs), then an error when
// `error` is set, then the end of the transaction.
std::string answer(const std::vector<std::string>& packages, const std::string& error = "") {
  std::string code;
  for (const std::string& id : packages) {
    code += "self.EmitSignal('org.freedesktop.PackageKit.Transaction', 'Package', 'uss', [2, '" + id + "', 'x']); ";
  }
  if (!error.empty()) {
    code += "self.EmitSignal('org.freedesktop.PackageKit.Transaction', 'ErrorCode', 'us', [1, '" + error + "']); ";
  }
  code += "self.EmitSignal('org.freedesktop.PackageKit.Transaction', 'Finished', 'uu', [" +
          std::string(error.empty() ? "1" : "2") + ", 0])";
  return code;
}

// What the updater reported, in order.
class Reports : public testing::TextRecorder {
 public:
  Updater::Handlers handlers() {
    return {[this](bool can) { add(can ? "can check" : "cannot check"); },
            [this](const Updater::Outcome& o) {
              const char* kinds[] = {"up to date", "available", "failed"};
              add(std::string(kinds[static_cast<int>(o.kind)]) + " " + (o.error.empty() ? o.version : o.error));
            }};
  }
  void log(const std::string& line) { add("log: " + line); }
};

class PackageKitUpdaterTest : public ::testing::Test {
 protected:
  // PackageKit on the test's bus: every transaction is /tx, whose methods answer as given.
  void startPackageKit(const std::string& search, const std::string& updates) {
    mock.startObject(packageKit, packageKit.name);
    mock.addMethod(packageKit, "CreateTransaction", "", "o", "ret = '/tx'");
    GVariantBuilder methods;
    g_variant_builder_init(&methods, G_VARIANT_TYPE("a(ssss)"));
    g_variant_builder_add(&methods, "(ssss)", "SearchFiles", "tas", "", search.c_str());
    g_variant_builder_add(&methods, "(ssss)", "RefreshCache", "b", "", answer({}).c_str());
    g_variant_builder_add(&methods, "(ssss)", "GetUpdates", "t", "", updates.c_str());
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    mock.call(packageKit, packageKit.path, "org.freedesktop.DBus.Mock", "AddObject",
              g_variant_new("(ss@a{sv}@a(ssss))", transaction.path, "org.freedesktop.PackageKit.Transaction",
                            g_variant_builder_end(&properties), g_variant_builder_end(&methods)));
  }

  // The program as if installed: a file of the system's own.
  std::unique_ptr<Updater> start(const std::string& program = "/usr/bin/dbus-daemon") {
    PackageKitUpdaterOptions options;
    options.programPath = program;
    options.systemBusAddress = mock.address();
    options.log = [this](const std::string& line) { reports.log(line); };
    auto updater = makePackageKitUpdater(std::move(options));
    updater->start(reports.handlers());
    return updater;
  }

  DBusMock mock;
  Reports reports;
};

TEST_F(PackageKitUpdaterTest, FindsTheHostsPackageAndANewerVersionOfIt) {
  startPackageKit(answer({"nolu-host;1.0;amd64;installed"}),
                  answer({"other;9;amd64;debian", "nolu-host;1.1;amd64;debian"}));
  auto updater = start();
  EXPECT_EQ(reports.waitFor(1), std::vector<std::string>{"can check"});
  // The program's own file was looked up among the installed packages' files (filter 4).
  std::vector<std::string> searched = mock.calls(transaction, "SearchFiles");
  ASSERT_EQ(searched.size(), 1u);
  EXPECT_NE(searched[0].find("4"), std::string::npos);
  EXPECT_NE(searched[0].find("/usr/bin/dbus-daemon"), std::string::npos) << searched[0];

  updater->checkForUpdates();
  EXPECT_EQ(reports.waitFor(4), (std::vector<std::string>{"can check", "cannot check", "available 1.1", "can check"}));
  EXPECT_EQ(mock.calls(transaction, "RefreshCache").size(), 1u);
}

TEST_F(PackageKitUpdaterTest, AnInstalledVersionWithNoNewerOneIsUpToDate) {
  startPackageKit(answer({"nolu-host;1.0;amd64;installed"}), answer({"other;9;amd64;debian"}));
  auto updater = start();
  EXPECT_EQ(reports.waitFor(1), std::vector<std::string>{"can check"});
  updater->checkForUpdates();
  EXPECT_EQ(reports.waitFor(4), (std::vector<std::string>{"can check", "cannot check", "up to date 1.0", "can check"}));
}

TEST_F(PackageKitUpdaterTest, AFailedCheckSaysWhyAndCanBeTriedAgain) {
  startPackageKit(answer({"nolu-host;1.0;amd64;installed"}), answer({}, "no network"));
  auto updater = start();
  EXPECT_EQ(reports.waitFor(1), std::vector<std::string>{"can check"});
  updater->checkForUpdates();
  EXPECT_EQ(reports.waitFor(4),
            (std::vector<std::string>{"can check", "cannot check", "failed no network", "can check"}));
}

TEST_F(PackageKitUpdaterTest, AProgramNoPackageHoldsCannotBeChecked) {
  startPackageKit(answer({}), answer({}));
  auto updater = start();
  std::vector<std::string> seen = reports.waitFor(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].find("was not installed from a package"), std::string::npos) << seen[0];
  EXPECT_EQ(seen[1], "cannot check");
  updater->checkForUpdates();  // ignored
  EXPECT_TRUE(mock.calls(transaction, "GetUpdates").empty());
}

TEST_F(PackageKitUpdaterTest, AProgramRunFromItsBuildTreeIsNotLookedUp) {
  startPackageKit(answer({"nolu-host;1.0;amd64;installed"}), answer({}));
  auto updater = start("/proc/self/exe");  // this test, in the build tree
  std::vector<std::string> seen = reports.waitFor(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].find("test_platform_update was not installed from a package"), std::string::npos) << seen[0];
  EXPECT_EQ(seen[1], "cannot check");
  EXPECT_TRUE(mock.calls(packageKit, "CreateTransaction").empty());
}

TEST_F(PackageKitUpdaterTest, WithoutPackageKitItCannotCheck) {
  auto updater = start();
  std::vector<std::string> seen = reports.waitFor(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].find("PackageKit is not available"), std::string::npos) << seen[0];
  EXPECT_EQ(seen[1], "cannot check");
}

}  // namespace
}  // namespace brindlet::platform
