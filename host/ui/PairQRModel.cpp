#include "host/ui/PairQRModel.h"

#include <cstdio>

#include "kit/pairing/HostPairingService.h"

namespace brindlet::host {

std::shared_ptr<PairQRModel> PairQRModel::make(Strand main, std::shared_ptr<Clock> clock,
                                               std::shared_ptr<HostPairingService> service, DeviceList devices) {
  return std::make_shared<PairQRModel>(std::move(main), std::move(clock), std::move(service), std::move(devices));
}

PairQRModel::PairQRModel(Strand main, std::shared_ptr<Clock> clock, std::shared_ptr<HostPairingService> service,
                         DeviceList devices)
    : main_(std::move(main)), clock_(std::move(clock)), service_(std::move(service)), devices_(std::move(devices)) {
  knownDevices_ = currentDeviceIDs();
}

void PairQRModel::start() {
  ticker_ = Task{};
  if (justPaired_) {
    justPaired_.reset();
    changed();
  }
  knownDevices_ = currentDeviceIDs();
  ticker_ = Task::spawn(main_, run(weak_from_this(), clock_));
}

void PairQRModel::stop() {
  ticker_ = Task{};
  refresh_ = Task{};
  clearTokenSoon();
}

asio::awaitable<void> PairQRModel::refreshCode() {
  auto self = shared_from_this();
  PairingToken token = co_await service_->issuePairingToken();
  expiresAt_ = token.expiresAt;
  justPaired_.reset();
  link_ = service_->pairingURL(token).url();
  image_ = platform::QRCode::encode(link_);
  changed();
  tick();
}

void PairQRModel::showNewCode() { refresh_ = Task::spawn(main_, refreshCode()); }

void PairQRModel::tick() {
  bool change = false;
  auto left = expiresAt_ - clock_->wallNow();
  // Whole seconds, rounded up, never negative.
  auto whole = std::chrono::ceil<std::chrono::seconds>(left).count();
  int seconds = whole > 0 ? static_cast<int>(whole) : 0;
  if (seconds != secondsLeft_) {
    secondsLeft_ = seconds;
    change = true;
  }
  if (!justPaired_) {
    for (const PairedDevice& device : devices_()) {
      if (knownDevices_.count(device.deviceID)) continue;
      justPaired_ = device.name;
      image_.reset();
      change = true;
      clearTokenSoon();
      break;
    }
  }
  if (secondsLeft_ == 0 && image_ && !justPaired_) {
    image_.reset();
    change = true;
  }
  if (change) changed();
}

void PairQRModel::clearTokenSoon() {
  std::erase_if(clears_, [](const Task& task) { return !task.isRunning(); });
  clears_.push_back(Task::spawn(main_, service_->clearToken()));
}

void PairQRModel::changed() {
  if (onChange) onChange();
}

std::set<UUID> PairQRModel::currentDeviceIDs() const {
  std::set<UUID> ids;
  for (const PairedDevice& device : devices_()) ids.insert(device.deviceID);
  return ids;
}

asio::awaitable<void> PairQRModel::run(std::weak_ptr<PairQRModel> weak, std::shared_ptr<Clock> clock) {
  if (auto model = weak.lock()) co_await model->refreshCode();
  // Ends when cancelled: the sleep throws.
  for (;;) {
    co_await clock->sleep(tickInterval);
    auto model = weak.lock();
    if (!model) co_return;
    model->tick();
  }
}

std::string validForText(int secondsLeft) {
  char text[64];
  std::snprintf(text, sizeof text, "Valid for %d:%02d · one use", secondsLeft / 60, secondsLeft % 60);
  return text;
}

namespace {

// The characters of a UTF-8 text, each as its own bytes.
std::vector<std::string> characters(const std::string& text) {
  std::vector<std::string> result;
  for (std::size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 1;
    result.push_back(text.substr(i, length));
    i += length;
  }
  return result;
}

}  // namespace

std::string groupedCode(const std::string& code) {
  std::vector<std::string> chars = characters(code);
  if (chars.size() != 6) return code;
  return chars[0] + chars[1] + chars[2] + " " + chars[3] + chars[4] + chars[5];
}

std::string codeAccessibleLabel(const std::string& code) {
  std::string label = "Code";
  for (const std::string& c : characters(code)) label += " " + c;
  return label;
}

}  // namespace brindlet::host
