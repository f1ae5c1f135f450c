// brindlet-test-device: a device for trying the host by hand and for whole-process tests.
// It finds the host by browsing, connects pinning the host's certificate, authenticates
// (or pairs with a pairing link's token), says hello, prints what the host sends, and can
// save the decoded picture as PNG or carry out input commands read from standard input.
// With relays and a join grant it reaches the host through a relay instead of browsing.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/HostHome.h"
#include "e2e/PNGFile.h"
#include "e2e/TestDevice.h"
#include "kit/pairing/AuthCrypto.h"
#include "kit/pairing/PairingURL.h"

namespace {

using namespace brindlet;
using namespace brindlet::testing;
using namespace std::chrono_literals;

const char* usage =
    "usage: brindlet-test-device (--pin HEX | --link URL | --host-data DIR) [options]\n"
    "  --pin HEX         SHA-256 of the host's certificate, 64 hex digits\n"
    "  --link URL        a pairing link: host, pin and token (pairs when the host does not know the device)\n"
    "  --host-data DIR   the host's data folder (its XDG_DATA_HOME): reads the pin from its keychain and\n"
    "                    records this device as paired (start the host after this)\n"
    "  --host-id UUID    only this host (default: the first one found)\n"
    "  --identity FILE   the device's identity, made and saved there when missing\n"
    "  --compare         pair by comparing a code (printed as \"code NNNNNN\") when the host does not know the device\n"
    "  --name NAME       the device's name (default \"Test Device\")\n"
    "  --png FILE        save the first decoded picture as PNG, then end\n"
    "  --commands        after hello, carry out commands from standard input until it ends:\n"
    "                      key down|up USAGE, tap USAGE, text TEXT, move DISPLAY X Y,\n"
    "                      button left|right|middle down|up, click, png FILE, quit\n"
    "  --relay HOST:PORT reach the host through this relay instead of browsing (repeat for more relays);\n"
    "                    needs --grant, the pin and the identity the grant was issued for\n"
    "  --grant BASE64URL the join grant the host sent this device (printed as \"received relayConfig ...\")\n"
    "  --timeout SECONDS how long each step may take (default 20)\n";

std::mutex printing;

void say(const std::string& line) {
  std::lock_guard lock(printing);
  std::cout << line << std::endl;
}

std::optional<Bytes> fromHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    unsigned long value = std::strtoul(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return bytes;
}

std::string describe(const Message& message) {
  std::ostringstream text;
  text << "received " << message.name();
  if (auto ack = message.as<msg::HelloAck>()) {
    text << " host=" << ack->hostID.uuidString() << " name=" << ack->hostName
         << " profile=" << static_cast<int>(ack->profile);
  } else if (auto reject = message.as<msg::HelloReject>()) {
    text << " reason=" << reject->reason;
  } else if (auto status = message.as<msg::HostStatus>()) {
    text << " state=" << static_cast<int>(status->state) << (status->detail ? " detail=" + *status->detail : "");
  } else if (auto list = message.as<msg::DisplayList>()) {
    for (const auto& d : list->displays) {
      text << " [" << d.id << " " << d.name << " " << d.pixelWidth << "x" << d.pixelHeight << (d.isMain ? " main" : "")
           << "]";
    }
  } else if (auto replaced = message.as<msg::SessionReplaced>()) {
    text << " by=" << replaced->byDeviceName;
  } else if (auto config = message.as<msg::RelayConfig>()) {
    text << " relays=";
    for (std::size_t i = 0; i < config->relays.size(); ++i) {
      text << (i ? "," : "") << config->relays[i].host << ":" << config->relays[i].port;
    }
    text << " grant=" << AuthCrypto::base64URLEncode(config->grant);
  } else if (auto info = message.as<msg::StreamInfo>()) {
    text << " display=" << info->displayID << " " << info->width << "x" << info->height;
  }
  return text.str();
}

RelayEndpoint relayNamed(const std::string& text) {
  const auto colon = text.rfind(':');
  char* end = nullptr;
  const unsigned long port = colon == std::string::npos ? 0 : std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (colon == 0 || port == 0 || port > 65535 || !end || *end != '\0') {
    throw std::invalid_argument("--relay takes HOST:PORT");
  }
  return RelayEndpoint{text.substr(0, colon), static_cast<std::uint16_t>(port)};
}

bool savePicture(TestDevice& device, const std::string& file, std::chrono::milliseconds limit) {
  auto picture = device.waitForPicture([](const ReceivedPicture&) { return true; }, limit);
  if (!picture) {
    say("error no picture decoded");
    return false;
  }
  if (!writePNG(file, picture->picture)) {
    say("error cannot write " + file);
    return false;
  }
  say("saved " + std::to_string(picture->picture.width) + "x" + std::to_string(picture->picture.height) +
      " picture to " + file);
  return true;
}

std::optional<PointerButton> buttonNamed(const std::string& name) {
  if (name == "left") return PointerButton::left;
  if (name == "right") return PointerButton::right;
  if (name == "middle") return PointerButton::middle;
  return std::nullopt;
}

// One command line; false for "quit".
bool carryOut(TestDevice& device, const std::string& line, std::chrono::milliseconds limit) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  auto usageOf = [](const std::string& word) {
    return HIDUsage{static_cast<std::uint16_t>(std::strtoul(word.c_str(), nullptr, 0))};
  };
  bool ok = true;
  if (verb == "quit") return false;
  if (verb == "key") {
    std::string direction, usage;
    words >> direction >> usage;
    ok = (direction == "down" || direction == "up") && !usage.empty();
    if (ok) device.key(usageOf(usage), direction == "down");
  } else if (verb == "tap") {
    std::string usage;
    words >> usage;
    ok = !usage.empty();
    if (ok) device.tap(usageOf(usage));
  } else if (verb == "text") {
    std::string text = line.size() > 5 ? line.substr(5) : "";
    device.type(text);
  } else if (verb == "move") {
    std::uint32_t display = 0;
    float x = 0, y = 0;
    ok = static_cast<bool>(words >> display >> x >> y);
    if (ok) device.moveTo(display, x, y);
  } else if (verb == "button") {
    std::string name, direction;
    words >> name >> direction;
    auto which = buttonNamed(name);
    ok = which && (direction == "down" || direction == "up");
    if (ok) device.button(*which, direction == "down");
  } else if (verb == "click") {
    device.click();
  } else if (verb == "png") {
    std::string file;
    words >> file;
    ok = !file.empty() && savePicture(device, file, limit);
  } else if (!verb.empty()) {
    ok = false;
  }
  say((ok ? "ok " : "error ") + line);
  return true;
}

int run(int argc, char** argv) {
  std::optional<Bytes> pin;
  std::optional<PairingURL> link;
  std::optional<UUID> hostID;
  std::optional<std::string> identityFile, hostData, pngFile;
  std::string name = "Test Device";
  bool commands = false;
  bool compare = false;
  std::vector<RelayEndpoint> relays;
  std::optional<Bytes> grant;
  auto limit = std::chrono::milliseconds(20'000);
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(option + " needs a value");
      return argv[++i];
    };
    if (option == "--pin") {
      pin = fromHex(value());
      if (!pin || pin->size() != 32) throw std::invalid_argument("--pin takes 64 hex digits");
    } else if (option == "--link") {
      link = PairingURL::parse(value());
      if (!link) throw std::invalid_argument("not a pairing link");
      pin = link->fingerprint;
      hostID = link->hostID;
    } else if (option == "--host-data") {
      hostData = value();
    } else if (option == "--host-id") {
      hostID = UUID::parse(value());
      if (!hostID) throw std::invalid_argument("--host-id takes a UUID");
    } else if (option == "--identity") {
      identityFile = value();
    } else if (option == "--compare") {
      compare = true;
    } else if (option == "--name") {
      name = value();
    } else if (option == "--png") {
      pngFile = value();
    } else if (option == "--commands") {
      commands = true;
    } else if (option == "--relay") {
      relays.push_back(relayNamed(value()));
    } else if (option == "--grant") {
      grant = AuthCrypto::base64URLDecode(value());
      if (!grant) throw std::invalid_argument("--grant takes base64url text");
    } else if (option == "--timeout") {
      limit = std::chrono::milliseconds(static_cast<long>(std::stod(value()) * 1000));
    } else {
      throw std::invalid_argument("unknown option " + option);
    }
  }

  std::optional<ClientIdentity> identity;
  if (identityFile) {
    std::ifstream in(*identityFile, std::ios::binary);
    Bytes stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    identity = ClientIdentity::fromData(stored);
  }
  if (!identity) {
    identity = TestDevice::newIdentity();
    if (identityFile) {
      Bytes data = identity->data();
      std::ofstream out(*identityFile, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
  }
  if (hostData) {
    HostFiles files{*hostData, {}};
    pin = files.makeHostIdentity();
    files.pairDevice(*identity, name);
    say("paired " + identity->deviceID.uuidString() + " with the host whose pin is " + toHex(*pin));
    if (!commands && !pngFile) return 0;
  }
  if (!pin) throw std::invalid_argument("the host's pin is needed: --pin, --link or --host-data");
  if (relays.empty() != !grant) throw std::invalid_argument("--relay and --grant go together");

  TestDevice device(*identity, name);
  device.onMessage([](const Message& message) { say(describe(message)); });
  if (!relays.empty()) {
    device.connectThroughRelay(relays, *grant, *pin);
    say("connected through the relay");
  } else {
    auto host = device.connectTo(hostID, *pin, limit);
    say("connected to " + host.name + (host.hostID ? " " + host.hostID->uuidString() : ""));
  }
  auto purpose = link      ? ClientHandshake::Purpose::pairWithToken(link->token)
                 : compare ? ClientHandshake::Purpose::pairByComparison()
                           : ClientHandshake::Purpose::authenticate();
  double handshakeLimit = std::max(15.0, std::chrono::duration<double>(limit).count());
  auto event = device.authenticate(purpose, handshakeLimit, [](const std::string& code) { say("code " + code); });
  if (event != ClientHandshake::Event::authenticated()) {
    say("error handshake ended with event " + std::to_string(static_cast<int>(event.kind)) + " " + event.text);
    return 1;
  }
  say("authenticated");
  device.hello();
  if (!device.waitFor<msg::DisplayList>(limit)) {
    say("error no display list");
    return 1;
  }
  if (pngFile) return savePicture(device, *pngFile, limit) ? 0 : 1;
  if (commands) {
    std::string line;
    while (std::getline(std::cin, line) && carryOut(device, line, limit)) {
    }
  }
  device.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::invalid_argument& error) {
    std::cerr << error.what() << "\n" << usage;
    return 2;
  } catch (const std::exception& error) {
    say(std::string("error ") + error.what());
    return 1;
  }
}
