// The host as a whole, with its windows: a device that pairs by comparing a code is let in or
// kept out by the person at the computer, through the confirmation window, driven over the
// accessibility bus as a person would use it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/HostHome.h"
#include "e2e/TestDevice.h"
#include "host/ui/PairQRModel.h"
#include "support/ChildProcess.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::ChildProcess;
using brindlet::testing::HostHome;
using brindlet::testing::TestDevice;

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

// Asks the window manager to close the top-level window so titled, as its close button does.
bool closeWindow(const std::string& title) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  Window root = DefaultRootWindow(display);
  Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", False);
  Atom name = XInternAtom(display, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom type;
  int format;
  unsigned long count = 0, after;
  unsigned char* data = nullptr;
  bool sent = false;
  if (XGetWindowProperty(display, root, clientList, 0, 1024, False, XA_WINDOW, &type, &format, &count, &after, &data) ==
          Success &&
      data) {
    auto* windows = reinterpret_cast<Window*>(data);
    for (unsigned long i = 0; i < count && !sent; ++i) {
      unsigned char* text = nullptr;
      unsigned long length = 0;
      if (XGetWindowProperty(display, windows[i], name, 0, 256, False, utf8, &type, &format, &length, &after, &text) ==
              Success &&
          text) {
        if (title == reinterpret_cast<char*>(text)) {
          XEvent event{};
          event.xclient.type = ClientMessage;
          event.xclient.window = windows[i];
          event.xclient.message_type = XInternAtom(display, "_NET_CLOSE_WINDOW", False);
          event.xclient.format = 32;
          event.xclient.data.l[0] = CurrentTime;
          event.xclient.data.l[1] = 2;  // a pager or tool: the user's own request
          XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
          sent = true;
        }
        XFree(text);
      }
    }
    XFree(data);
  }
  XSync(display, False);
  XCloseDisplay(display);
  return sent;
}

class PairingWindowsProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY") || !std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
      GTEST_SKIP() << "needs the test services: run under scripts/test-services";
    }
    pin = home.makeHostIdentity();
    hostID = home.makeHostID();
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
  EXPECT_EQ(drive({"gone", "Pair Device", "10"}).first, 0);
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
    EXPECT_EQ(drive({"gone", "Pair Device", "10"}).first, 0);
    device.close();
  }
}

}  // namespace
}  // namespace brindlet::host
