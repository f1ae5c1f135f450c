#pragma once

// The application's updater: whether a check for a newer version, started by the user, is
// possible now, and that check. How a newer version is found (and installed) is the updater's.
//
//   updater->start({[](bool can) { ... }, [](const Updater::Outcome& o) { ... }});
//   updater->checkForUpdates();   // while it can; the outcome arrives through `checked`
//
// The handlers are called on the updater's own thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brindlet::platform {

class Updater {
 public:
  struct Outcome {
    enum class Kind { upToDate, available, failed };
    Kind kind = Kind::upToDate;
    std::string version;  // available: the newer version
    std::string error;    // failed: why
  };
  struct Handlers {
    // Whether a check is possible now: the current value first, then each change.
    std::function<void(bool)> canCheck;
    // The end of each check.
    std::function<void(const Outcome&)> checked;
  };

  virtual ~Updater() = default;
  // Once.
  virtual void start(Handlers handlers) = 0;
  // Any thread; ignored while a check cannot run.
  virtual void checkForUpdates() = 0;
};

// The updater of a program installed from a package: PackageKit (org.freedesktop.PackageKit on
// the system bus) finds the package that holds `programPath` and, at each check, whether the
// package sources offer a newer version of it. It cannot check (and says why through `log`)
// when PackageKit does not run or cannot be started, or when no installed package holds the
// program. A program outside the folders packages install into (one run from its build tree)
// is not looked up at all, so PackageKit is not started for it.
struct PackageKitUpdaterOptions {
  std::string programPath;
  std::vector<std::string> packageFolders{"/usr/", "/opt/", "/bin/", "/sbin/"};
  // The system bus at this address, else the one the environment names.
  std::optional<std::string> systemBusAddress;
  // Why checks cannot run; the updater's thread.
  std::function<void(const std::string&)> log;
};
std::unique_ptr<Updater> makePackageKitUpdater(PackageKitUpdaterOptions options);

}  // namespace brindlet::platform
