// The host as a whole, with its windows: a device that pairs by comparing a code is let in or
// kept out by the person at the computer, through the confirmation window, driven over the
// accessibility bus as a person would use it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/HostHome.h"
#include "e2e/TestDevice.h"
#include "host/ui/PairQRModel.h"
#include "kit/pairing/PairingURL.h"
#include "platform/storage/UserDefaults.h"
#include "support/ChildProcess.h"
#include "support/PrivateSessionBus.h"
#include "ui/TopLevelWindows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::ChildProcess;
using brindlet::testing::closeWindow;
using brindlet::testing::HostHome;
using brindlet::testing::PrivateSessionBus;
using brindlet::testing::TestDevice;
using brindlet::testing::windowGone;

// Runs the accessibility driver; its exit status and what it printed.
std::pair<int, std::string> drive(const std::vector<std::string>& arguments) {
  std::string command = std::string("/usr/bin/python3 ") + BRINDLET_ATSPI_DRIVER + " brindlet-host";
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  command += " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char buffer[512];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// The whole screen, as grey levels (PGM, for reading the QR code back) and in colour (PPM, for a
// reviewer to look at).
struct Screen {
  int width = 0, height = 0;
  std::vector<std::uint8_t> bgrx;

  static Screen grab() {
    Screen screen;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return screen;
    Window root = DefaultRootWindow(display);
    XWindowAttributes attributes;
    XGetWindowAttributes(display, root, &attributes);
    XImage* image = XGetImage(display, root, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    screen.width = attributes.width;
    screen.height = attributes.height;
    screen.bgrx.resize(static_cast<std::size_t>(screen.width) * screen.height * 4);
    for (int y = 0; y < screen.height; ++y) {
      std::memcpy(screen.bgrx.data() + static_cast<std::size_t>(y) * screen.width * 4,
                  image->data + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line,
                  static_cast<std::size_t>(screen.width) * 4);
    }
    XDestroyImage(image);
    XCloseDisplay(display);
    return screen;
  }

  void save(const std::filesystem::path& file, bool grey) const {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << (grey ? "P5\n" : "P6\n") << width << " " << height << "\n255\n";
    for (std::size_t i = 0; i < bgrx.size(); i += 4) {
      if (grey) {
        out.put(static_cast<char>((bgrx[i] + bgrx[i + 1] + bgrx[i + 2]) / 3));
      } else {
        out.put(static_cast<char>(bgrx[i + 2])).put(static_cast<char>(bgrx[i + 1])).put(static_cast<char>(bgrx[i]));
      }
    }
  }
};

std::string run(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char buffer[512];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  ::pclose(pipe);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

class PairingWindowsProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY") || !std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
      GTEST_SKIP() << "needs the test services: run under scripts/test-services";
    }
    // The host and the accessibility driver meet on an accessibility bus of this test's own.
    bus = std::make_unique<PrivateSessionBus>("ui-pairing");
    ASSERT_TRUE(bus->started()) << bus->failure();
    bus->exportToThisProcess();
    pin = home.makeHostIdentity();
    hostID = home.makeHostID();
    // The guide finished, so that only the windows a test asks for are open.
    platform::UserDefaults(home.settingsFile()).set("onboardingCompleted", true);
    host = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, home.environment());
    ASSERT_TRUE(host->waitForOutput("listener advertising on UDP", 30s)) << host->output();
  }

  void TearDown() override {
    if (!host) return;
    host->stop();
    if (HasFailure()) std::cerr << "host output:\n" << host->output();
  }

  // A new device asks to pair by comparing codes; the handshake runs while the test acts
  // on the window. The code the device shows arrives in `code`.
  std::future<ClientHandshake::Event> askToPair(TestDevice& device, std::promise<std::string>& code) {
    device.connectTo(hostID, pin, 20s);
    return std::async(std::launch::async, [&device, &code] {
      bool told = false;
      return device.authenticate(ClientHandshake::Purpose::pairByComparison(), 60, [&](const std::string& shown) {
        if (!told) code.set_value(shown);
        told = true;
      });
    });
  }

  std::string pairedDevicesFile() {
    std::ifstream in(home.pairedDevicesFile());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Made before the host and ended after it.
  std::unique_ptr<PrivateSessionBus> bus;
  HostHome home{"ui-pairing"};
  Bytes pin;
  UUID hostID;
  std::unique_ptr<ChildProcess> host;
};

TEST_F(PairingWindowsProcessTest, AllowInTheConfirmationWindowPairsTheDevice) {
  ClientIdentity identity = TestDevice::newIdentity();
  TestDevice device(identity, "Ada’s “Work” iPad");
  std::promise<std::string> code;
  auto codeShown = code.get_future();
  auto handshake = askToPair(device, code);
  ASSERT_EQ(codeShown.wait_for(30s), std::future_status::ready);
  std::string shown = codeShown.get();

  ASSERT_EQ(drive({"wait", "Pair Device", "20"}).first, 0) << host->output();
  auto [status, texts] = drive({"texts", "Pair Device"});
  ASSERT_EQ(status, 0) << texts;
  EXPECT_NE(texts.find("Pair “Ada’s “Work” iPad”?"), std::string::npos) << texts;
  EXPECT_NE(texts.find(groupedCode(shown)), std::string::npos) << texts;
  EXPECT_NE(texts.find(codeAccessibleLabel(shown)), std::string::npos) << texts;
  EXPECT_NE(texts.find("Confirm this code matches your device:"), std::string::npos) << texts;

  ASSERT_EQ(drive({"press", "Pair Device", "Allow"}).first, 0);
  ASSERT_EQ(handshake.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(handshake.get(), ClientHandshake::Event::authenticated());
  EXPECT_NE(pairedDevicesFile().find(identity.deviceID.uuidString()), std::string::npos);
  EXPECT_TRUE(windowGone("Pair Device", 10s));
}

TEST_F(PairingWindowsProcessTest, DenyOrClosingTheWindowKeepsTheDeviceOut) {
  for (const char* answer : {"Deny", "close"}) {
    SCOPED_TRACE(answer);
    ClientIdentity identity = TestDevice::newIdentity();
    TestDevice device(identity, "Stranger");
    std::promise<std::string> code;
    auto codeShown = code.get_future();
    auto handshake = askToPair(device, code);
    ASSERT_EQ(codeShown.wait_for(30s), std::future_status::ready);
    ASSERT_EQ(drive({"wait", "Pair Device", "20"}).first, 0);
    if (std::string(answer) == "Deny") {
      ASSERT_EQ(drive({"press", "Pair Device", "Deny"}).first, 0);
    } else {
      ASSERT_TRUE(closeWindow("Pair Device"));
    }
    ASSERT_EQ(handshake.wait_for(30s), std::future_status::ready);
    EXPECT_NE(handshake.get(), ClientHandshake::Event::authenticated());
    EXPECT_EQ(pairedDevicesFile().find(identity.deviceID.uuidString()), std::string::npos);
    EXPECT_TRUE(windowGone("Pair Device", 10s));
    device.close();
  }
}

TEST_F(PairingWindowsProcessTest, TheQRWindowsCodePairsADeviceFromThePanel) {
  ASSERT_EQ(drive({"wait", "Nolu Host", "20"}).first, 0) << host->output();
  auto [status, texts] = drive({"texts", "Nolu Host"});
  ASSERT_EQ(status, 0) << texts;
  for (const char* expected :
       {"Waiting for connections", "PAIRED DEVICES", "No devices paired yet", "Pair New Device…", "Screen Recording",
        "REMOTE ACCESS", "Keep display awake while connected", "Quit Nolu Host"}) {
    EXPECT_NE(texts.find(expected), std::string::npos) << expected << " in\n" << texts;
  }
  Screen::grab().save(std::filesystem::path(BRINDLET_SCREENSHOTS) / "panel.ppm", false);

  ASSERT_EQ(drive({"press", "Nolu Host", "Pair New Device…"}).first, 0);
  ASSERT_EQ(drive({"wait", "Pair New Device", "20"}).first, 0) << host->output();
  // The code is drawn once the token has come; read it back as a device's camera would.
  std::string link;
  auto file = home.root() / "screen.pgm";
  for (int attempt = 0; attempt < 50 && link.empty(); ++attempt) {
    std::this_thread::sleep_for(200ms);
    Screen screen = Screen::grab();
    screen.save(file, true);
    link = run("zbarimg --quiet --raw -Sdisable -Sqrcode.enable '" + file.string() + "' 2>/dev/null");
    if (!link.empty()) screen.save(std::filesystem::path(BRINDLET_SCREENSHOTS) / "pair-qr.ppm", false);
  }
  ASSERT_FALSE(link.empty()) << host->output();
  auto texts2 = drive({"texts", "Pair New Device"}).second;
  EXPECT_NE(texts2.find("Valid for "), std::string::npos) << texts2;
  EXPECT_NE(texts2.find("Cancel"), std::string::npos) << texts2;

  auto url = PairingURL::parse(link);
  ASSERT_TRUE(url) << link;
  ClientIdentity identity = TestDevice::newIdentity();
  TestDevice device(identity, "Scanner");
  device.connectTo(hostID, pin, 20s);
  EXPECT_EQ(device.authenticate(ClientHandshake::Purpose::pairWithToken(url->token)),
            ClientHandshake::Event::authenticated());
  device.close();
  // The window notices the new device.
  bool paired = false;
  for (int attempt = 0; attempt < 50 && !paired; ++attempt) {
    paired = drive({"texts", "Pair New Device"}).second.find("Paired with Scanner") != std::string::npos;
    if (!paired) std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(paired);
  ASSERT_EQ(drive({"press", "Pair New Device", "Done"}).first, 0);
  EXPECT_TRUE(windowGone("Pair New Device", 10s));
}

TEST_F(PairingWindowsProcessTest, RemovingADeviceWaitsForUndoThenForgetsIt) {
  host->stop();
  ClientIdentity identity = TestDevice::newIdentity();
  home.pairDevice(identity, "Old Phone");
  host = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, home.environment());
  ASSERT_TRUE(host->waitForOutput("listener advertising on UDP", 30s)) << host->output();
  ASSERT_EQ(drive({"wait", "Nolu Host", "20"}).first, 0);
  auto removeOld = drive({"press", "Nolu Host", "Remove Old Phone"});
  ASSERT_EQ(removeOld.first, 0) << removeOld.second << drive({"texts", "Nolu Host"}).second;
  // Undo within the few seconds keeps it.
  auto undo = drive({"press", "Nolu Host", "Undo"});
  ASSERT_EQ(undo.first, 0) << undo.second << drive({"texts", "Nolu Host"}).second;
  std::this_thread::sleep_for(6s);
  EXPECT_NE(pairedDevicesFile().find(identity.deviceID.uuidString()), std::string::npos);
  // Without Undo it goes, once the few seconds are up (on a loaded machine, a while later).
  ASSERT_EQ(drive({"press", "Nolu Host", "Remove Old Phone"}).first, 0);
  bool gone = false;
  for (int attempt = 0; attempt < 250 && !gone; ++attempt) {
    std::this_thread::sleep_for(100ms);
    gone = pairedDevicesFile().find(identity.deviceID.uuidString()) == std::string::npos;
  }
  EXPECT_TRUE(gone);
  EXPECT_NE(drive({"texts", "Nolu Host"}).second.find("No devices paired yet"), std::string::npos);
}

TEST_F(PairingWindowsProcessTest, TheKeepAwakeSwitchWritesItsSetting) {
  ASSERT_EQ(drive({"wait", "Nolu Host", "20"}).first, 0) << host->output();
  ASSERT_EQ(drive({"press", "Nolu Host", "Keep display awake while connected"}).first, 0);
  bool stored = false;
  for (int attempt = 0; attempt < 50 && !stored; ++attempt) {
    std::ifstream in(home.settingsFile());
    std::stringstream text;
    text << in.rdbuf();
    stored = text.str().find("\"keepDisplayAwakeWhileConnected\": false") != std::string::npos ||
             text.str().find("\"keepDisplayAwakeWhileConnected\":false") != std::string::npos;
    if (!stored) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(stored);
}

// A link handed to a second start of the host reaches the running host, which asks before it
// joins remote access, and says so when this computer has joined already.
TEST_F(PairingWindowsProcessTest, InviteLinksOfALaterStartAreAskedAboutByTheRunningHost) {
  host->stop();
  // The coordinator for this test, on loopback over plain HTTP.
  ChildProcess coordinator(
      "/usr/bin/python3",
      {BRINDLET_TEST_COORDINATOR, "--dir", (home.root() / "coordinator").string(), "--secret", std::string(64, '7'),
       "--relay", "127.0.0.1:9:test", "--invite", "ABCDEFGHJK=Family", "--plain"},
      {});
  ASSERT_TRUE(coordinator.waitForOutput("port ", 20s)) << coordinator.output();
  for (int attempt = 0; attempt < 50 && coordinator.output().find('\n') == std::string::npos; ++attempt) {
    std::this_thread::sleep_for(50ms);
  }
  std::string port = std::to_string(std::stoi(coordinator.output().substr(coordinator.output().find("port ") + 5)));
  platform::UserDefaults(home.settingsFile()).set("relay.coordinatorURL", "http://127.0.0.1:" + port);
  host = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, home.environment());
  ASSERT_TRUE(host->waitForOutput("listener advertising on UDP", 30s)) << host->output();

  auto handOver = [&](const std::string& link) {
    ChildProcess later(BRINDLET_HOST_BINARY, {link}, home.environment());
    EXPECT_EQ(later.waitForExit(20s), 0) << later.output();
    EXPECT_TRUE(later.waitForOutput("handed over", 5s)) << later.output();
  };
  auto settingsText = [&] {
    std::ifstream in(home.settingsFile());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };

  // Cancel: nothing joins.
  handOver("nolu://invite?code=abcde-fghjk");
  ASSERT_EQ(drive({"wait", "Remote Access", "20"}).first, 0) << host->output();
  auto [status, texts] = drive({"texts", "Remote Access"});
  ASSERT_EQ(status, 0) << texts;
  EXPECT_NE(texts.find("Join remote access with this invite?"), std::string::npos) << texts;
  EXPECT_NE(texts.find("Invite ABCDE-FGHJK. This lets your iPhone reach this Mac from outside your network through "
                       "the Nolu relay."),
            std::string::npos)
      << texts;
  Screen::grab().save(std::filesystem::path(BRINDLET_SCREENSHOTS) / "invite-join.ppm", false);
  ASSERT_EQ(drive({"press", "Remote Access", "Cancel"}).first, 0);
  EXPECT_TRUE(windowGone("Remote Access", 10s));
  EXPECT_EQ(settingsText().find("Family"), std::string::npos);

  // Join, from a link written in capitals: the host enrols with the coordinator.
  handOver("BRINDLET://INVITE?code=ABCDE-FGHJK");
  ASSERT_EQ(drive({"wait", "Remote Access", "20"}).first, 0) << host->output();
  ASSERT_EQ(drive({"press", "Remote Access", "Join"}).first, 0);
  bool joined = false;
  for (int attempt = 0; attempt < 100 && !joined; ++attempt) {
    std::this_thread::sleep_for(100ms);
    joined = settingsText().find("\"Family\"") != std::string::npos;
  }
  ASSERT_TRUE(joined) << settingsText() << host->output();
  EXPECT_TRUE(windowGone("Remote Access", 10s));

  // Joined already: only the notice, with the account's label.
  handOver("nolu://invite?code=ABCDE-FGHJK");
  ASSERT_EQ(drive({"wait", "Remote Access", "20"}).first, 0) << host->output();
  texts = drive({"texts", "Remote Access"}).second;
  EXPECT_NE(texts.find("Remote access is already set up"), std::string::npos) << texts;
  EXPECT_NE(texts.find("This Mac is already enrolled as Family."), std::string::npos) << texts;
  ASSERT_EQ(drive({"press", "Remote Access", "OK"}).first, 0);
  EXPECT_TRUE(windowGone("Remote Access", 10s));
  coordinator.stop();
}

// The first start opens the guide; its pages lead to Finish, which is stored, and the next
// start then opens no guide (both grants being there under the X server).
TEST_F(PairingWindowsProcessTest, TheGuideOpensAtTheFirstStartAndFinishIsRemembered) {
  host->stop();
  platform::UserDefaults(home.settingsFile()).remove("onboardingCompleted");
  host = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, home.environment());
  ASSERT_TRUE(host->waitForOutput("listener advertising on UDP", 30s)) << host->output();
  ASSERT_EQ(drive({"wait", "Nolu Host Setup", "20"}).first, 0) << host->output();
  auto [status, texts] = drive({"texts", "Nolu Host Setup"});
  ASSERT_EQ(status, 0) << texts;
  EXPECT_NE(texts.find("Welcome to Nolu Host"), std::string::npos) << texts;
  EXPECT_NE(texts.find("Three quick things need your OK."), std::string::npos) << texts;
  EXPECT_EQ(texts.find("Back"), std::string::npos) << texts;
  Screen::grab().save(std::filesystem::path(BRINDLET_SCREENSHOTS) / "guide.ppm", false);

  // Each Continue shows the next page; both grants read as present, so nothing holds it back,
  // and the Accessibility page moves on to Ready by itself at the next reading of the grants.
  auto waitForPage = [&](const char* page) {
    bool shown = false;
    for (int attempt = 0; attempt < 50 && !shown; ++attempt) {
      texts = drive({"texts", "Nolu Host Setup"}).second;
      shown = texts.find(page) != std::string::npos;
      if (!shown) std::this_thread::sleep_for(100ms);
    }
    return shown;
  };
  for (const char* page : {"Local Network", "Screen Recording"}) {
    auto pressed = drive({"press", "Nolu Host Setup", "Continue"});
    ASSERT_EQ(pressed.first, 0) << page << ": " << pressed.second;
    ASSERT_TRUE(waitForPage(page)) << page << " in\n" << texts;
  }
  EXPECT_NE(texts.find("✓ Granted"), std::string::npos) << texts;
  ASSERT_EQ(drive({"press", "Nolu Host Setup", "Continue"}).first, 0);
  ASSERT_TRUE(waitForPage("Ready — open Nolu")) << texts;
  EXPECT_NE(texts.find("Ready — open Nolu on your iPhone or iPad."), std::string::npos) << texts;
  EXPECT_NE(texts.find("Back"), std::string::npos) << texts;
  ASSERT_EQ(drive({"press", "Nolu Host Setup", "Finish"}).first, 0);
  EXPECT_TRUE(windowGone("Nolu Host Setup", 10s));
  std::ifstream in(home.settingsFile());
  std::stringstream stored;
  stored << in.rdbuf();
  EXPECT_NE(stored.str().find("\"onboardingCompleted\": true"), std::string::npos) << stored.str();

  host->stop();
  host = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, home.environment());
  ASSERT_TRUE(host->waitForOutput("listener advertising on UDP", 30s)) << host->output();
  ASSERT_EQ(drive({"wait", "Nolu Host", "20"}).first, 0);
  std::this_thread::sleep_for(2s);
  EXPECT_NE(drive({"wait", "Nolu Host Setup", "1"}).first, 0);
}

// A relaunched copy waits until the host it replaces has given up its name, then runs in its
// place; it neither hands itself over to the old host nor runs beside it.
TEST_F(PairingWindowsProcessTest, ARelaunchedHostWaitsForTheOldOneToEnd) {
  auto environment = home.environment();
  environment.emplace_back("BRINDLET_RELAUNCHED", "1");
  ChildProcess successor(BRINDLET_HOST_BINARY, {}, environment);
  std::this_thread::sleep_for(3s);
  EXPECT_FALSE(successor.waitForExit(0ms)) << successor.output();
  EXPECT_EQ(successor.output().find("listener advertising"), std::string::npos) << successor.output();
  EXPECT_EQ(successor.output().find("handed over"), std::string::npos) << successor.output();

  host->stop();
  EXPECT_TRUE(successor.waitForOutput("listener advertising on UDP", 30s)) << successor.output();
  // It is the one running now: a later start hands over to it.
  ChildProcess later(BRINDLET_HOST_BINARY, {}, home.environment());
  EXPECT_EQ(later.waitForExit(20s), 0) << later.output();
  EXPECT_TRUE(later.waitForOutput("handed over", 5s)) << later.output();
  successor.stop();
}

}  // namespace
}  // namespace brindlet::host
