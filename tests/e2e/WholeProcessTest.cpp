// The built host program driven from outside, as a device and a user see it: a device made of
// the kit's device half finds it by browsing, authenticates, says hello, sends input that
// reaches X clients, is replaced by a second device, and is killed. The host runs in a fresh
// home folder into which the test wrote the host's identity (for the pin) and the paired
// devices, and on a session bus of its own whose screen saver records what is held.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "e2e/ChildProcess.h"
#include "e2e/HostHome.h"
#include "e2e/TestDevice.h"
#include "platform/capture/XServerLock.h"
#include "platform/power/DBusMock.h"

// Xlib's macros last: they clash with names of the protocol.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include "platform/input/X11InputObserver.h"

namespace brindlet::testing {
namespace {

using namespace std::chrono_literals;
using brindlet::test::ObservedEvent;
using brindlet::test::X11InputObserver;

// Polls `done` every 20 ms until it holds or `limit` passes.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

// What the X server says of the pointer and keyboard.
class XState {
 public:
  XState() : display_(XOpenDisplay(nullptr)) {}
  ~XState() {
    if (display_) XCloseDisplay(display_);
  }
  bool isReady() const { return display_ != nullptr; }

  struct Pointer {
    int x = 0, y = 0;
    unsigned mask = 0;
  };
  Pointer pointer() {
    Window root = 0, child = 0;
    Pointer p;
    int winX = 0, winY = 0;
    XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &p.x, &p.y, &winX, &winY, &p.mask);
    return p;
  }
  bool keyIsDown(KeySym keysym) {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    KeyCode code = XKeysymToKeycode(display_, keysym);
    return code != 0 && (keys[code / 8] & (1 << (code % 8)));
  }
  bool anyKeyDown() {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    return std::any_of(std::begin(keys), std::end(keys), [](char c) { return c != 0; });
  }

 private:
  Display* display_;
};

class WholeProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY") || !std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
      GTEST_SKIP() << "needs the test services: run under scripts/test-services";
    }
    // The host's session bus: a screen saver that hands out numbered cookies.
    screenSaver.startScreenSaver();
    screenSaver.addMethod(DBusMock::screenSaver, "Inhibit", "ss", "u",
                          "self.cookies = getattr(self, 'cookies', 0) + 1\nret = self.cookies");
    screenSaver.addMethod(DBusMock::screenSaver, "UnInhibit", "u", "", "");
    screenSaver.addMethod(DBusMock::screenSaver, "SimulateUserActivity", "", "", "");
    pin = home.makeHostIdentity();
    hostID = home.makeHostID();
  }

  void TearDown() override {
    if (host) {
      host->stop();
      if (HasFailure()) std::cerr << "host output:\n" << host->output();
    }
  }

  // A device the host knows: recorded in its paired devices before it starts.
  ClientIdentity pairedDevice(const std::string& name) {
    ClientIdentity identity = TestDevice::newIdentity();
    home.pairDevice(identity, name);
    return identity;
  }

  void startHost() {
    auto environment = home.environment();
    environment.emplace_back("DBUS_SESSION_BUS_ADDRESS", screenSaver.address());
    host = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, environment);
    ASSERT_TRUE(host->waitForOutput("listener advertising on UDP", 30s)) << host->output();
  }

  // Finds the host, connects, authenticates and says hello; waits for the display list.
  std::unique_ptr<TestDevice> sessionFor(const ClientIdentity& identity, const std::string& name) {
    auto device = std::make_unique<TestDevice>(identity, name);
    auto found = device->find(hostID, 20s);
    if (!found) {
      ADD_FAILURE() << "the host was not found by browsing";
      return nullptr;
    }
    device->connect(*found, pin);
    auto event = device->authenticate();
    if (event != ClientHandshake::Event::authenticated()) {
      ADD_FAILURE() << "handshake ended with " << static_cast<int>(event.kind) << " " << event.text;
      return nullptr;
    }
    device->hello();
    if (!device->waitFor<msg::DisplayList>(15s)) {
      ADD_FAILURE() << "no display list";
      return nullptr;
    }
    return device;
  }

  std::size_t calls(const char* method) { return screenSaver.calls(DBusMock::screenSaver, method).size(); }

  HostHome home{"e2e"};
  DBusMock screenSaver;
  Bytes pin;
  UUID hostID;
  std::unique_ptr<ChildProcess> host;
};

template <class T>
std::ptrdiff_t indexOf(const std::vector<Message>& messages) {
  auto found = std::find_if(messages.begin(), messages.end(), [](const Message& m) { return m.is<T>(); });
  return found == messages.end() ? -1 : found - messages.begin();
}

TEST_F(WholeProcessTest, APairedDeviceFindsTheHostAuthenticatesAndIsWelcomed) {
  ClientIdentity identity = pairedDevice("Test iPad");
  ASSERT_NO_FATAL_FAILURE(startHost());

  TestDevice device(identity, "Test iPad");
  auto found = device.find(hostID, 20s);
  ASSERT_TRUE(found) << "browsing did not find the host with ID " << hostID.uuidString();
  EXPECT_FALSE(found->viaRelay);
  device.connect(*found, pin);
  ASSERT_EQ(device.authenticate(), ClientHandshake::Event::authenticated());
  device.hello();

  auto list = device.waitFor<msg::DisplayList>(15s);
  ASSERT_TRUE(list) << host->output();
  auto messages = device.received();
  auto ack = device.waitFor<msg::HelloAck>(0ms);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->version, 16);
  EXPECT_EQ(ack->hostID, hostID);
  EXPECT_EQ(ack->hostName, found->name);
  EXPECT_EQ(ack->profile, CodecProfile::hevcMain444);
  auto status = device.waitFor<msg::HostStatus>(0ms);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->state, HostState::ok);
  // helloAck, then the host state, then the displays.
  EXPECT_LT(indexOf<msg::HelloAck>(messages), indexOf<msg::HostStatus>(messages));
  EXPECT_LT(indexOf<msg::HostStatus>(messages), indexOf<msg::DisplayList>(messages));

  // The two monitors of the X screen, side by side; the left one is the main display.
  ASSERT_EQ(list->displays.size(), 2u);
  auto left = list->displays[0].frame.x < list->displays[1].frame.x ? list->displays[0] : list->displays[1];
  auto right = list->displays[0].frame.x < list->displays[1].frame.x ? list->displays[1] : list->displays[0];
  EXPECT_TRUE(left.isMain);
  EXPECT_FALSE(right.isMain);
  for (const auto& d : list->displays) {
    EXPECT_EQ(d.pixelWidth, 1920u);
    EXPECT_EQ(d.pixelHeight, 1080u);
  }
  EXPECT_EQ(right.frame.x, left.frame.x + left.frame.width);
  EXPECT_TRUE(host->waitForOutput("hello from Test iPad v16", 5s));
}

TEST_F(WholeProcessTest, AnUnpairedDeviceIsNotLetInAndAWrongPinFailsTheConnection) {
  ASSERT_NO_FATAL_FAILURE(startHost());

  TestDevice stranger(TestDevice::newIdentity(), "Stranger");
  auto found = stranger.find(hostID, 20s);
  ASSERT_TRUE(found);
  stranger.connect(*found, pin);
  EXPECT_EQ(stranger.authenticate(), ClientHandshake::Event::notPaired());

  TestDevice misled(TestDevice::newIdentity(), "Misled");
  Bytes wrongPin = pin;
  wrongPin[0] ^= 0xff;
  auto again = misled.find(hostID, 20s);
  ASSERT_TRUE(again);
  EXPECT_THROW(misled.connect(*again, wrongPin), QUICError);
}

TEST_F(WholeProcessTest, KeysTextPointerMovesAndClicksReachXClients) {
  ClientIdentity identity = pairedDevice("Typist");
  ASSERT_NO_FATAL_FAILURE(startHost());
  X11InputObserver observer;
  ASSERT_TRUE(observer.isReady());
  XState x;
  ASSERT_TRUE(x.isReady());
  auto device = sessionFor(identity, "Typist");
  ASSERT_TRUE(device);
  auto displays = device->waitFor<msg::DisplayList>(0ms)->displays;

  // A key with shift held.
  device->tap(HIDUsage::a, ModifierFlags::shift);
  auto press = observer.waitForKeyTap();
  ASSERT_TRUE(press) << host->output();
  EXPECT_EQ(press->keysym, static_cast<unsigned long>(XK_A));
  EXPECT_TRUE(press->state & ShiftMask);

  // Text, also characters the keyboard layout does not have.
  observer.clear();
  device->type("Grüße, 42!");
  device->type("#");
  EXPECT_EQ(observer.waitForTextBefore('#'), "Grüße, 42!");

  // Absolute moves land where the X server puts the pointer, on either monitor.
  for (const DisplayInfo& display : displays) {
    device->moveTo(display.id, 0.25f, 0.75f);
    const int expectedX = static_cast<int>(display.frame.x + 0.25 * display.frame.width);
    const int expectedY = static_cast<int>(display.frame.y + 0.75 * display.frame.height);
    EXPECT_TRUE(eventually(
        [&] {
          auto p = x.pointer();
          return p.x == expectedX && p.y == expectedY;
        },
        5s))
        << display.name << ": pointer at " << x.pointer().x << "," << x.pointer().y << ", expected " << expectedX
        << "," << expectedY;
  }

  // A click reaches the window under the pointer, where the pointer is.
  observer.clear();
  device->click();
  ASSERT_TRUE(observer.waitFor([&] { return !observer.of(ObservedEvent::Kind::buttonRelease).empty(); }));
  auto presses = observer.of(ObservedEvent::Kind::buttonPress);
  ASSERT_EQ(presses.size(), 1u);
  EXPECT_EQ(presses[0].button, 1u);
  EXPECT_EQ(presses[0].x, x.pointer().x);
  EXPECT_EQ(presses[0].y, x.pointer().y);
}

TEST_F(WholeProcessTest, ASecondDeviceReplacesTheFirst) {
  ClientIdentity first = pairedDevice("First iPad");
  ClientIdentity second = pairedDevice("Second iPhone");
  ASSERT_NO_FATAL_FAILURE(startHost());

  auto old = sessionFor(first, "First iPad");
  ASSERT_TRUE(old);
  auto newcomer = sessionFor(second, "Second iPhone");
  ASSERT_TRUE(newcomer);

  auto replaced = old->waitFor<msg::SessionReplaced>(5s);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->byDeviceName, "Second iPhone");
  EXPECT_TRUE(old->waitUntilEnded(5s)) << "the replaced session's connection stays open";
  EXPECT_FALSE(newcomer->waitFor<msg::SessionReplaced>(0ms));
  EXPECT_FALSE(newcomer->waitUntilEnded(0ms));
}

// The device is a process of its own, killed without a word: the host notices when the
// connection goes idle, ends the session and lets go of everything it held for it.
TEST_F(WholeProcessTest, KillingTheDeviceEndsTheSessionAndReleasesWhatItHeld) {
  ClientIdentity doomed = pairedDevice("Doomed iPad");
  ClientIdentity next = pairedDevice("Next iPad");
  ASSERT_NO_FATAL_FAILURE(startHost());
  XState x;
  ASSERT_TRUE(x.isReady());

  const std::string identityFile = (home.root() / "device-identity").string();
  {
    Bytes data = doomed.data();
    std::ofstream(identityFile, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                        static_cast<std::streamsize>(data.size()));
  }
  ChildProcess device(BRINDLET_TEST_DEVICE_BINARY,
                      {"--pin", toHex(pin), "--host-id", hostID.uuidString(), "--identity", identityFile, "--name",
                       "Doomed iPad", "--commands"},
                      {});
  ASSERT_TRUE(device.waitForOutput("received displayList", 30s)) << device.output();
  // It holds a modifier and a button down, and the display awake.
  device.write("key down 0xE1\nbutton left down\n");
  ASSERT_TRUE(device.waitForOutput("ok button left down", 5s)) << device.output();
  ASSERT_TRUE(eventually([&] { return x.keyIsDown(XK_Shift_L) && (x.pointer().mask & Button1Mask); }, 5s))
      << host->output();
  ASSERT_TRUE(eventually([&] { return calls("Inhibit") == 1; }, 5s));
  EXPECT_EQ(calls("UnInhibit"), 0u);

  device.signal(SIGKILL);
  ASSERT_TRUE(device.waitForExit(5s));
  // The host finds out when the connection has been silent for its idle time-out.
  ASSERT_TRUE(host->waitForOutput("session ended", 45s)) << host->output();
  EXPECT_FALSE(x.anyKeyDown()) << "a key stays down";
  EXPECT_EQ(x.pointer().mask & (Button1Mask | Button2Mask | Button3Mask), 0u) << "a button stays down";
  EXPECT_TRUE(eventually([&] { return calls("UnInhibit") == calls("Inhibit"); }, 5s)) << "the display stays awake";

  // The host still listens and takes a new session.
  auto again = sessionFor(next, "Next iPad");
  ASSERT_TRUE(again) << host->output();
  EXPECT_TRUE(again->waitFor<msg::HelloAck>(0ms));
}

}  // namespace
}  // namespace brindlet::testing
