#pragma once
// The built host program (BRINDLET_HOST_BINARY) in a fresh home folder with one paired device,
// listening on loopback, for the benchmarks that drive the whole program with the tests'
// device. Needs the test services' environment.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "e2e/HostHome.h"
#include "e2e/TestDevice.h"
#include "support/ChildProcess.h"

namespace brindlet::testing {

class HostUnderBench {
 public:
  explicit HostUnderBench(const std::string& name)
      : home_(name), pin_(home_.makeHostIdentity()), identity_(TestDevice::newIdentity()) {
    home_.pairDevice(identity_, "Benchmark Device");
    process_ = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, home_.environment());
    if (!process_->waitForOutput("listener advertising on UDP", std::chrono::seconds(30))) return;
    std::smatch port;
    const std::string output = process_->output();
    if (std::regex_search(output, port, std::regex("listener advertising on UDP ([0-9]+)"))) {
      endpoint_ = HostEndpoint{"127.0.0.1", uint16_t(std::stoi(port[1]))};
    }
  }

  // Whether the host came up and listens.
  bool listening() const { return endpoint_.has_value(); }
  ChildProcess& process() { return *process_; }

  // The paired device, connected and authenticated; nothing when it was not let in.
  std::unique_ptr<TestDevice> connectDevice() {
    auto device = std::make_unique<TestDevice>(identity_, "Benchmark Device");
    device->connect(*endpoint_, pin_);
    if (device->authenticate() != ClientHandshake::Event::authenticated()) return nullptr;
    return device;
  }

 private:
  HostHome home_;
  Bytes pin_;
  ClientIdentity identity_;
  std::unique_ptr<ChildProcess> process_;
  std::optional<HostEndpoint> endpoint_;
};

// The host with its paired device connected and its session streaming; `beforeHello` sets the
// device up before its hello starts the session. On failure error() says what went wrong.
class StreamingHost {
 public:
  StreamingHost(const std::string& tag, const std::function<void(TestDevice&)>& beforeHello = {}) : host_(tag) {
    if (!host_.listening()) {
      error_ = "the host did not start listening";
      return;
    }
    device_ = host_.connectDevice();
    if (!device_) {
      error_ = "the device was not let in";
      return;
    }
    if (beforeHello) beforeHello(*device_);
    device_->hello();
    if (!device_->waitForPicture([](const ReceivedPicture&) { return true; }, std::chrono::seconds(15))) {
      error_ = "no video arrived";
    }
  }
  ~StreamingHost() { stop(); }

  const std::optional<std::string>& error() const { return error_; }
  TestDevice& device() { return *device_; }
  // Closes the device's connection and stops the host.
  void stop() {
    if (device_) device_->close();
    host_.process().stop();
  }

 private:
  HostUnderBench host_;
  std::unique_ptr<TestDevice> device_;
  std::optional<std::string> error_;
};

}  // namespace brindlet::testing
