#pragma once

// The built host program as the benchmarks run it: in a home folder of its own, with one
// paired device connected over loopback and its session streaming.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "e2e/HostHome.h"
#include "e2e/TestDevice.h"
#include "support/ChildProcess.h"

namespace brindlet::testing {

class StreamingHost {
 public:
  // Starts the host and connects the device; `beforeHello` sets the device up before its
  // hello starts the session. On failure error() says what went wrong.
  StreamingHost(const std::string& tag, const std::function<void(TestDevice&)>& beforeHello = {}) : home_(tag) {
    using namespace std::chrono_literals;
    const Bytes pin = home_.makeHostIdentity();
    ClientIdentity identity = TestDevice::newIdentity();
    home_.pairDevice(identity, "Benchmark Device");
    host_ = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, home_.environment());
    std::smatch port;
    const std::string output = host_->waitForOutput("listener advertising on UDP", 30s) ? host_->output() : "";
    if (!std::regex_search(output, port, std::regex("listener advertising on UDP ([0-9]+)"))) {
      error_ = "the host did not start listening";
      return;
    }
    device_ = std::make_unique<TestDevice>(identity, "Benchmark Device");
    device_->connect(HostEndpoint{"127.0.0.1", static_cast<std::uint16_t>(std::stoi(port[1]))}, pin);
    if (device_->authenticate() != ClientHandshake::Event::authenticated()) {
      error_ = "the device was not let in";
      return;
    }
    if (beforeHello) beforeHello(*device_);
    device_->hello();
    if (!device_->waitForPicture([](const ReceivedPicture&) { return true; }, 15s)) error_ = "no video arrived";
  }
  ~StreamingHost() { stop(); }

  const std::optional<std::string>& error() const { return error_; }
  TestDevice& device() { return *device_; }
  // Closes the device's connection and stops the host.
  void stop() {
    if (device_) device_->close();
    if (host_) host_->stop();
  }

 private:
  HostHome home_;
  std::unique_ptr<ChildProcess> host_;
  std::unique_ptr<TestDevice> device_;
  std::optional<std::string> error_;
};

}  // namespace brindlet::testing
