// The host as a whole, with its windows: a device that pairs by comparing a code is let in or
// kept out by the person at the computer, through the confirmation window, driven over the
// accessibility bus as a person would use it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
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
#include "ui/WindowPixels.h"

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::ChildProcess;
using brindlet::testing::closeWindow;
using brindlet::testing::Colour;
using brindlet::testing::Element;
using brindlet::testing::HostHome;
using brindlet::testing::PrivateSessionBus;
using brindlet::testing::Screen;
using brindlet::testing::sRGB;
using brindlet::testing::TestDevice;
using brindlet::testing::whiteOver;
using brindlet::testing::windowGone;
using brindlet::testing::WindowPixels;

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

// The windows' palette, as their layout gives it.
const Colour amber = sRGB(1.0, 0.69, 0.125);
const Colour grey = sRGB(0.63, 0.63, 0.65);
const Colour green = sRGB(0.49, 0.88, 0.56);
const Colour white = sRGB(1, 1, 1);
const Colour black = sRGB(0, 0, 0);
const Colour pairingBackground = sRGB(0.11, 0.11, 0.118);
const Colour guideBackground = sRGB(0.11, 0.11, 0.12);
const Colour codeBox = sRGB(0.17, 0.17, 0.18);

// The window so titled on `screen`, read through the boxes the accessibility tree gives its
// elements; `screen` outlives it.
std::optional<WindowPixels> pixelsOf(const std::string& title, const Screen& screen) {
  auto [status, boxes] = drive({"boxes", title});
  std::string why;
  auto pixels = status == 0 ? WindowPixels::read(title, boxes, screen, &why) : std::nullopt;
  if (!pixels) ADD_FAILURE() << "cannot read the window \"" << title << "\": " << (status ? boxes : why);
  return pixels;
}

// The element so named, or a failure naming it.
const Element& element(const WindowPixels& window, const std::string& role, const std::string& name,
                       const std::function<bool(const Element&)>& also = nullptr) {
  static const Element none{"", "", -1000, -1000, 0, 0};
  const Element* found = window.find(role, name, also);
  if (!found) {
    std::string shown;
    for (const Element& e : window.elements()) shown += "\n  " + e.role + " \"" + e.name + "\"";
    ADD_FAILURE() << "no " << role << " \"" << name << "\" in the window, which shows:" << shown;
  }
  return found ? *found : none;
}

// A QR code's top-left finder pattern, read along the diagonal from the code's corner: dark
// and light squares one, one, three, one and one module wide, pure black on white (no
// smoothing), the code's side holding 21 to 177 such modules.
::testing::AssertionResult finderPatternAt(const WindowPixels& window, const Element& code) {
  std::vector<std::pair<bool, int>> runs;  // dark?, length
  for (int i = 0; i < std::min(code.width, code.height) && runs.size() < 6; ++i) {
    Colour c = window.at(code.x + i, code.y + i);
    bool dark = c == black;
    if (!dark && !(c == white)) {
      return ::testing::AssertionFailure() << "the code has " << c << " at (" << i << ", " << i
                                           << ") of its corner: neither black nor white";
    }
    if (runs.empty() || runs.back().first != dark) runs.push_back({dark, 0});
    ++runs.back().second;
  }
  if (runs.size() < 6) return ::testing::AssertionFailure() << "the code's corner has no finder pattern";
  // Modules of a fractional width are drawn whole pixels wide: each run may be a pixel off.
  double module = (runs[0].second + runs[1].second + runs[2].second + runs[3].second + runs[4].second) / 7.0;
  bool shaped = module * 21 <= code.width + 1 && module * 177 >= code.width;
  const int widths[] = {1, 1, 3, 1, 1};
  for (int i = 0; i < 5; ++i) {
    shaped = shaped && runs[i].first == (i % 2 == 0) && std::abs(runs[i].second - widths[i] * module) <= 1.5;
  }
  if (shaped) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << "the code's corner reads";
  for (auto [dark, length] : runs) failure << " " << (dark ? "dark " : "light ") << length;
  return failure << " along its diagonal, in a code " << code.width << " wide";
}

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
  Screen screen = Screen::grab();
  screen.save(std::filesystem::path(BRINDLET_SCREENSHOTS) / "pair-confirm.ppm", false);
  if (auto confirm = pixelsOf("Pair Device", screen)) {
    EXPECT_TRUE(confirm->fillAt("the window's background", 4, 4, pairingBackground));
    EXPECT_TRUE(confirm->textColour(element(*confirm, "label", "Confirm this code matches your device:"), grey,
                                    pairingBackground));
    // The code in amber on its box, which reaches 18 points left and right of it.
    const Element& code = element(*confirm, "label", codeAccessibleLabel(shown));
    EXPECT_TRUE(confirm->fillAt("the code box", code.x - 9, code.y + code.height / 2, codeBox));
    EXPECT_TRUE(confirm->textColour(code, amber, codeBox));
    // Allow is tinted amber, its label drawn on that.
    const Element& allow = element(*confirm, "push button", "Allow");
    EXPECT_TRUE(confirm->fillAt("the fill of Allow", allow.x - 4, allow.y + allow.height / 2, amber));
  }

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
  Screen panelScreen = Screen::grab();
  panelScreen.save(std::filesystem::path(BRINDLET_SCREENSHOTS) / "panel.ppm", false);
  if (auto panel = pixelsOf("Nolu Host", panelScreen)) {
    Colour background = panel->at(4, 4);
    EXPECT_TRUE(panel->fillAt("the panel's background", 4, 4, pairingBackground));
    // Idle: a grey status dot and the status in white at 0.82.
    const Element& dot = element(*panel, "panel", "", [](const Element& e) { return e.width == 7 && e.height == 7; });
    EXPECT_TRUE(panel->fillAt("the status dot", dot.x + 3, dot.y + 3, sRGB(0.45, 0.45, 0.45)));
    EXPECT_TRUE(panel->textColour(element(*panel, "label", "Waiting for connections"), sRGB(0.82, 0.82, 0.82),
                                  background));
    for (const char* secondary : {"PAIRED DEVICES", "No devices paired yet", "PERMISSIONS", "REMOTE ACCESS"}) {
      EXPECT_TRUE(panel->textColour(element(*panel, "label", secondary), grey, background));
    }
    EXPECT_TRUE(panel->textColour(element(*panel, "label", "✓ Granted"), green, background));
    // Buttons, enabled or not, are filled with white at 0.08 (here left of the centred label).
    for (const char* button : {"Disconnect", "Pair New Device…", "Setup…"}) {
      const Element& shown = element(*panel, "push button", button);
      EXPECT_TRUE(panel->fillAt(std::string("the fill of ") + button, shown.x + 2, shown.y + shown.height / 2,
                                whiteOver(0.08, background)));
    }
    // Quit is a plain button: its text starts at the column's leading edge, as other text does.
    const int leading = panel->firstInkColumn(element(*panel, "label", "No devices paired yet"), background);
    EXPECT_GT(leading, 0);
    EXPECT_NEAR(panel->firstInkColumn(element(*panel, "push button", "Quit Nolu Host"), background), leading, 2);
    // The keep-awake switch is on: its track shows the amber tint left of the knob.
    const Element& awake = element(*panel, "check box", "Keep display awake while connected");
    EXPECT_TRUE(panel->fillAt("the keep-awake switch", awake.x + awake.width / 4, awake.y + awake.height / 2, amber));
  }

  ASSERT_EQ(drive({"press", "Nolu Host", "Pair New Device…"}).first, 0);
  ASSERT_EQ(drive({"wait", "Pair New Device", "20"}).first, 0) << host->output();
  // The code is drawn once the token has come; read it back as a device's camera would.
  std::string link;
  auto file = home.root() / "screen.pgm";
  Screen qrScreen;
  for (int attempt = 0; attempt < 50 && link.empty(); ++attempt) {
    std::this_thread::sleep_for(200ms);
    qrScreen = Screen::grab();
    qrScreen.save(file, true);
    link = run("zbarimg --quiet --raw -Sdisable -Sqrcode.enable '" + file.string() + "' 2>/dev/null");
  }
  ASSERT_FALSE(link.empty()) << host->output();
  qrScreen.save(std::filesystem::path(BRINDLET_SCREENSHOTS) / "pair-qr.ppm", false);
  if (auto qr = pixelsOf("Pair New Device", qrScreen)) {
    EXPECT_TRUE(qr->fillAt("the window's background", 4, 4, pairingBackground));
    // The code is drawn on a white card, 14 points in from its edges, black modules on white.
    const Element& code = element(*qr, "filler", "Pairing code");
    EXPECT_TRUE(qr->fillAt("the card left of the code", code.x - 7, code.y + code.height / 2, white));
    EXPECT_TRUE(qr->fillAt("the card above the code", code.x + code.width / 2, code.y - 7, white));
    EXPECT_TRUE(finderPatternAt(*qr, code));
    // The countdown ("Valid for 4:59 · one use") counts on: found by how it starts.
    const Element* countdown = nullptr;
    for (const Element& e : qr->elements()) {
      if (e.role == "label" && e.name.rfind("Valid for ", 0) == 0) countdown = &e;
    }
    ASSERT_NE(countdown, nullptr);
    EXPECT_TRUE(qr->textColour(*countdown, amber, pairingBackground));
    EXPECT_TRUE(
        qr->textColour(element(*qr, "label", "Open Nolu on your iPhone or iPad and scan this code."), grey,
                       pairingBackground));
  }
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
  Screen screen = Screen::grab();
  screen.save(std::filesystem::path(BRINDLET_SCREENSHOTS) / "guide.ppm", false);
  if (auto guide = pixelsOf("Nolu Host Setup", screen)) {
    EXPECT_TRUE(guide->fillAt("the guide's background", 4, 4, guideBackground));
    // Five step marks, 4 points high, in a row: the welcome step's is amber, the later ones
    // white at 0.14.
    std::vector<const Element*> marks;
    for (const Element& e : guide->elements()) {
      if (e.role == "panel" && e.height == 4 && e.width < 100) marks.push_back(&e);
    }
    ASSERT_EQ(marks.size(), 5u);
    for (std::size_t i = 0; i < marks.size(); ++i) {
      EXPECT_TRUE(guide->fillAt("step mark " + std::to_string(i + 1), marks[i]->x + marks[i]->width / 2,
                                marks[i]->y + 2, i == 0 ? amber : whiteOver(0.14, guideBackground)));
    }
    EXPECT_TRUE(guide->textColour(element(*guide, "label", "Welcome to Nolu Host"), white, guideBackground));
    EXPECT_TRUE(guide->textColour(
        element(*guide, "label", "Three quick things need your OK. This takes about a minute."), grey,
        guideBackground));
    // Continue is an accent button: filled amber, its label black.
    const Element& next = element(*guide, "push button", "Continue");
    EXPECT_TRUE(guide->fillAt("the fill of Continue", next.x - 4, next.y + next.height / 2, amber));
    EXPECT_TRUE(guide->textColour(element(*guide, "label", "Continue"), black, amber));
  }

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
