#pragma once

// A D-Bus session bus of a test's own, with its own home, runtime and cache folders, so that
// the accessibility bus (which the session bus starts on demand, and which keeps its socket
// below those folders) belongs to this test alone: nothing another test does to the shared
// session bus or to the shared folders can take it away.
//
//   PrivateSessionBus bus("ui-pairing");
//   ASSERT_TRUE(bus.started()) << bus.failure();
//   bus.exportToThisProcess();   // children and helper programs inherit it
//
// The bus daemon is ended by its process id when the object goes away, and the
// accessibility bus launcher it started (found by its process id) with it.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"

namespace brindlet::testing {

class PrivateSessionBus {
 public:
  explicit PrivateSessionBus(const std::string& tag);
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // Whether the bus and its accessibility bus are up; what went wrong otherwise.
  bool started() const { return !address_.empty() && !accessibilityAddress_.empty(); }
  const std::string& failure() const { return failure_; }

  const std::string& address() const { return address_; }
  const std::string& accessibilityAddress() const { return accessibilityAddress_; }
  // DBUS_SESSION_BUS_ADDRESS, AT_SPI_BUS_ADDRESS, HOME and the XDG runtime and cache folders.
  ChildProcess::Environment environment() const;
  // Puts environment() into this process's environment (restored when the object goes away).
  void exportToThisProcess();

 private:
  std::string call(const std::vector<std::string>& arguments);

  std::filesystem::path root_;
  std::unique_ptr<ChildProcess> daemon_;
  std::string address_;
  std::string accessibilityAddress_;
  pid_t launcher_ = -1;
  std::string failure_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace brindlet::testing
