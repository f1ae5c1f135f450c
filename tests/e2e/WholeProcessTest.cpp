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
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "capture/AACTestDecoder.h"
#include "capture/PulseTestTools.h"
#include "e2e/HostHome.h"
#include "e2e/PNGFile.h"
#include "e2e/TestDevice.h"
#include "kit/pairing/AuthCrypto.h"
#include "kit/pairing/MemorySecretStore.h"
#include "kit/relay/RelayConfigStore.h"
#include "platform/audio/PulseMonitor.h"
#include "platform/capture/TestPictures.h"
#include "platform/capture/XTestWindow.h"
#include "platform/crypto/SecureRandom.h"
#include "platform/power/DBusMock.h"
#include "platform/windows/ManagedTestWindow.h"
#include "support/ChildProcess.h"

// Xlib's macros last: they clash with names of the protocol.
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>
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
  XState() : display_(XOpenDisplay(nullptr)) {
    // A client can go away between listing it and asking about its resources: that error is
    // expected, and must not end the test.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  }
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

  // Lets go of every key and button that is down: a host stopped in the middle of a failed
  // test does not release what its device held, and the next test must start clean.
  void releaseEverything() {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    for (int code = 8; code < 256; ++code) {
      if (keys[code / 8] & (1 << (code % 8))) XTestFakeKeyEvent(display_, static_cast<unsigned>(code), False, 0);
    }
    const unsigned masks[] = {Button1Mask, Button2Mask, Button3Mask};
    for (unsigned button = 1; button <= 3; ++button) {
      if (pointer().mask & masks[button - 1]) XTestFakeButtonEvent(display_, button, False, 0);
    }
    XSync(display_, False);
  }

  // Takes the top-level windows of process `pid` off the screen (withdraws them); how many.
  int withdrawWindowsOf(pid_t pid) {
    Atom clientList = XInternAtom(display_, "_NET_CLIENT_LIST", False);
    Atom pidAtom = XInternAtom(display_, "_NET_WM_PID", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, DefaultRootWindow(display_), clientList, 0, 4096, False, XA_WINDOW, &type, &format,
                           &count, &after, &data) != Success || !data) {
      return 0;
    }
    std::vector<Window> windows(reinterpret_cast<Window*>(data), reinterpret_cast<Window*>(data) + count);
    XFree(data);
    int withdrawn = 0;
    for (Window window : windows) {
      unsigned char* value = nullptr;
      unsigned long items = 0;
      if (XGetWindowProperty(display_, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                             &value) == Success && value) {
        if (items == 1 && static_cast<pid_t>(*reinterpret_cast<unsigned long*>(value)) == pid) {
          XWithdrawWindow(display_, window, DefaultScreen(display_));
          ++withdrawn;
        }
        XFree(value);
      }
    }
    XSync(display_, False);
    return withdrawn;
  }

  // How many damage trackers the X clients of process `pid` hold: screen capture keeps one
  // while it runs.
  long damageTrackers(pid_t pid) {
    XResClientIdSpec all{0, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* ids = nullptr;
    if (XResQueryClientIds(display_, 1, &all, &count, &ids) != Success) return -1;
    long trackers = 0;
    for (long i = 0; i < count; ++i) {
      if (ids[i].spec.mask != XRES_CLIENT_ID_PID_MASK || XResGetClientPid(&ids[i]) != pid) continue;
      int types = 0;
      XResType* resources = nullptr;
      // (This older call of the extension answers true for success.)
      if (!XResQueryClientResources(display_, ids[i].spec.client, &types, &resources)) continue;
      for (int t = 0; t < types; ++t) {
        char* name = XGetAtomName(display_, resources[t].resource_type);
        if (name && std::string(name) == "DamageExt") trackers += resources[t].count;
        XFree(name);
      }
      XFree(resources);
    }
    XResClientIdsDestroy(count, ids);
    return trackers;
  }

  // The pixels of a rectangle of the root window, B, G, R, X.
  std::vector<std::uint8_t> grab(int x, int y, int width, int height) {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (int row = 0; row < height; ++row) {
      std::memcpy(pixels.data() + static_cast<std::size_t>(row) * width * 4,
                  image->data + static_cast<std::ptrdiff_t>(row) * image->bytes_per_line,
                  static_cast<std::size_t>(width) * 4);
    }
    XDestroyImage(image);
    return pixels;
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
      XState().releaseEverything();
    }
  }

  // A device the host knows: recorded in its paired devices before it starts.
  ClientIdentity pairedDevice(const std::string& name) {
    ClientIdentity identity = TestDevice::newIdentity();
    home.pairDevice(identity, name);
    return identity;
  }

  // `extra`: more of the host's environment variables.
  void startHost(const ChildProcess::Environment& extra = {}) {
    auto environment = home.environment();
    environment.emplace_back("DBUS_SESSION_BUS_ADDRESS", screenSaver.address());
    environment.insert(environment.end(), extra.begin(), extra.end());
    host = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, environment);
    ASSERT_TRUE(host->waitForOutput("listener advertising on UDP", 30s)) << host->output();
  }

  // Finds the host, connects, authenticates and says hello; waits for the display list.
  std::unique_ptr<TestDevice> sessionFor(const ClientIdentity& identity, const std::string& name) {
    auto device = std::make_unique<TestDevice>(identity, name);
    device->connectTo(hostID, pin, 20s);
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

  // The identity in a file, for the command-line device.
  std::string writeIdentity(const ClientIdentity& identity) {
    const auto file = home.root() / ("identity-" + identity.deviceID.uuidString());
    Bytes data = identity.data();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return file.string();
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
  device.connectTo(hostID, pin, 20s);
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

// The bytes of a file the device sends reach the inbox whole. How the transfer ends depends on
// whether this host can place files on a clipboard: done, and the file stays; or failed with the
// clipboard's reason, and the transfer's folder is removed.
TEST_F(WholeProcessTest, AFileTheDeviceSendsLandsInTheInboxByteForByte) {
  ClientIdentity identity = pairedDevice("Test iPad");
  ASSERT_NO_FATAL_FAILURE(startHost());
  auto device = sessionFor(identity, "Test iPad");
  ASSERT_TRUE(device);

  Bytes content(300'000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 131 + i / 977);
  const auto statusOf = [](FileTransferState state) {
    return [state](const Message& m) {
      const auto* status = m.as<msg::FileStatus>();
      return status && status->transferID == 42 &&
             (status->state == state || status->state == FileTransferState::failed ||
              status->state == FileTransferState::rejected);
    };
  };
  Message offer =
      msg::FileOffer{42, {{"../holiday notes.txt", "public.plain-text", content.size()}}, FileTransferKind::attach};
  device->send(offer);
  auto accepted = device->waitFor(statusOf(FileTransferState::accepted), 10s);
  ASSERT_TRUE(accepted) << host->output();
  ASSERT_EQ(accepted->as<msg::FileStatus>()->state, FileTransferState::accepted);
  for (std::size_t offset = 0; offset < content.size(); offset += FileTransferLimits::chunkSize) {
    const std::size_t length = std::min<std::size_t>(FileTransferLimits::chunkSize, content.size() - offset);
    Message chunk = msg::FileChunk{42, 0, offset, Bytes(content.begin() + offset, content.begin() + offset + length)};
    ASSERT_TRUE(device->sendTransfer(chunk));
  }
  const auto folder = home.root() / "cache" / "io.tavix.nolu.host" / "Inbox" / "42";
  const auto readBack = [&] {
    std::ifstream in(folder / "_holiday notes.txt", std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_TRUE(eventually([&] { return readBack() == content; }, 10s)) << "the inbox never held the whole file";

  Message end = msg::FileEnd{42};
  ASSERT_TRUE(device->sendTransfer(end));
  auto outcome = device->waitFor(statusOf(FileTransferState::done), 10s);
  ASSERT_TRUE(outcome) << host->output();
  const auto& status = *outcome->as<msg::FileStatus>();
  if (status.state == FileTransferState::done) {
    EXPECT_EQ(status.bytes, content.size());
    EXPECT_EQ(readBack(), content);
  } else {
    EXPECT_EQ(status.state, FileTransferState::failed);
    EXPECT_EQ(status.detail, "Couldn't set the Mac clipboard");
    EXPECT_EQ(status.bytes, content.size());
    EXPECT_FALSE(std::filesystem::exists(folder));
  }
  EXPECT_TRUE(host->waitForOutput("file offer 42 files=1 bytes=300000 kind=1", 5s));
}

TEST_F(WholeProcessTest, AnUnpairedDeviceIsNotLetInAndAWrongPinFailsTheConnection) {
  ASSERT_NO_FATAL_FAILURE(startHost());

  TestDevice stranger(TestDevice::newIdentity(), "Stranger");
  stranger.connectTo(hostID, pin, 20s);
  EXPECT_EQ(stranger.authenticate(), ClientHandshake::Event::notPaired());

  TestDevice misled(TestDevice::newIdentity(), "Misled");
  Bytes wrongPin = pin;
  wrongPin[0] ^= 0xff;
  try {
    misled.connectTo(hostID, wrongPin, 20s);
    ADD_FAILURE() << "connected to a host whose certificate is not the pinned one";
  } catch (const QUICError& error) {
    EXPECT_EQ(error, QUICError::pinMismatch());
  }
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
        << display.name << ": pointer at " << x.pointer().x << "," << x.pointer().y << ", expected " << expectedX << ","
        << expectedY;
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

// PSNR of a rectangle of a decoded picture against the same rectangle as 4-byte pixels.
double psnrOf(const ReceivedPicture& received, int x, int y, int width, int height,
              const std::vector<std::uint8_t>& truth) {
  const DecodedPicture& p = received.picture;
  if (x + width > p.width || y + height > p.height) return 0;
  return psnrBGR(p.bgr0.data() + (static_cast<std::size_t>(y) * p.width + x) * 4, p.width * 4, truth.data(), width * 4,
                 width, height);
}

std::vector<std::uint8_t> testPattern(int width, int height, int seed) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint32_t rgb = testPixel(x, y, seed);
      std::memcpy(&pixels[(static_cast<std::size_t>(y) * width + x) * 4], &rgb, 4);
    }
  }
  return pixels;
}

TEST_F(WholeProcessTest, TheDecodedVideoShowsWhatTheScreenShows) {
  ClientIdentity identity = pairedDevice("Viewer");
  ASSERT_NO_FATAL_FAILURE(startHost());
  XState x;
  ASSERT_TRUE(x.isReady());
  // A window with a known picture on the main (left) monitor.
  constexpr int left = 200, top = 150, width = 320, height = 240;
  XTestWindow window(left, top, width, height, true);
  window.paint([](int px, int py) { return testPixel(px, py, 1); });
  auto screen = x.grab(left, top, width, height);
  ASSERT_GT(psnrBGR(screen.data(), width * 4, testPattern(width, height, 1).data(), width * 4, width, height), 60)
      << "the X screen does not show the test window";

  auto device = sessionFor(identity, "Viewer");
  ASSERT_TRUE(device);
  auto displays = device->waitFor<msg::DisplayList>(0ms)->displays;
  auto main = std::find_if(displays.begin(), displays.end(), [](const DisplayInfo& d) { return d.isMain; });
  ASSERT_NE(main, displays.end());
  ASSERT_EQ(main->frame.x, 0);
  ASSERT_EQ(main->frame.y, 0);

  // The main display, whole, at the device's screen size.
  auto info = device->waitFor<msg::StreamInfo>(10s);
  ASSERT_TRUE(info) << host->output();
  EXPECT_EQ(info->displayID, main->id);
  EXPECT_EQ(info->width, 1920u);
  EXPECT_EQ(info->height, 1080u);
  EXPECT_EQ(info->profile, CodecProfile::hevcMain444);
  EXPECT_EQ(info->sourceRect, (NormalizedRect{0, 0, 1, 1}));

  auto shows = [&](const std::vector<std::uint8_t>& truth) {
    return [&, truth](const ReceivedPicture& r) { return psnrOf(r, left, top, width, height, truth) > 30; };
  };
  auto first = device->waitForPicture(shows(screen), 10s);
  ASSERT_TRUE(first) << "no decoded picture shows the window; pictures decoded: " << device->picturesDecoded();
  EXPECT_EQ(first->displayID, main->id);
  EXPECT_EQ(first->picture.width, 1920);
  EXPECT_EQ(first->picture.height, 1080);
  EXPECT_EQ(first->picture.profile, 4) << "Main 4:4:4 is reported as range extensions";

  // A change on the screen reaches the device.
  window.paint([](int px, int py) { return testPixel(px, py, 4); });
  auto changed = x.grab(left, top, width, height);
  auto second = device->waitForPicture(shows(changed), 10s);
  ASSERT_TRUE(second) << "the change did not reach the device";
  EXPECT_GT(second->frameNumber, first->frameNumber);
  EXPECT_LT(psnrOf(*second, left, top, width, height, screen), 25) << "still the old picture";
  EXPECT_LE(second->captureTimeNs, second->receivedAtNs);

  // The command-line device saves what it decodes as PNG.
  const auto png = home.root() / "screen.png";
  ChildProcess tool(BRINDLET_TEST_DEVICE_BINARY,
                    {"--pin", toHex(pin), "--host-id", hostID.uuidString(), "--identity", writeIdentity(identity),
                     "--name", "Viewer", "--png", png.string()},
                    {});
  auto status = tool.waitForExit(30s);
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << tool.output();
  std::ifstream file(png, std::ios::binary);
  std::vector<unsigned char> header(24);
  file.read(reinterpret_cast<char*>(header.data()), 24);
  ASSERT_EQ(file.gcount(), 24);
  EXPECT_EQ(std::string(header.begin() + 1, header.begin() + 4), "PNG");
  EXPECT_EQ(std::string(header.begin() + 12, header.begin() + 16), "IHDR");
  auto be32 = [&](int at) {
    return (header[at] << 24) | (header[at + 1] << 16) | (header[at + 2] << 8) | header[at + 3];
  };
  EXPECT_EQ(be32(16), 1920);
  EXPECT_EQ(be32(20), 1080);
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
  // A short idle time-out, so that the silence is noticed soon.
  ASSERT_NO_FATAL_FAILURE(startHost({{"BRINDLET_QUIC_IDLE_TIMEOUT_MS", "2000"}}));
  XState x;
  ASSERT_TRUE(x.isReady());

  ChildProcess device(BRINDLET_TEST_DEVICE_BINARY,
                      {"--pin", toHex(pin), "--host-id", hostID.uuidString(), "--identity", writeIdentity(doomed),
                       "--name", "Doomed iPad", "--commands"},
                      {});
  ASSERT_TRUE(device.waitForOutput("received displayList", 30s)) << device.output();
  // It holds a modifier and a button down, and the display awake.
  device.write("key down 0xE1\nbutton left down\n");
  ASSERT_TRUE(device.waitForOutput("ok button left down", 5s)) << device.output();
  ASSERT_TRUE(eventually([&] { return x.keyIsDown(XK_Shift_L) && (x.pointer().mask & Button1Mask); }, 5s))
      << host->output();
  ASSERT_TRUE(eventually([&] { return calls("Inhibit") == 1; }, 5s));
  EXPECT_EQ(calls("UnInhibit"), 0u);
  ASSERT_TRUE(eventually([&] { return x.damageTrackers(host->pid()) > 0; }, 10s)) << "capture did not start";

  device.signal(SIGKILL);
  ASSERT_TRUE(device.waitForExit(5s));
  // The host finds out when the connection has been silent for its idle time-out.
  ASSERT_TRUE(host->waitForOutput("session ended", 45s)) << host->output();
  EXPECT_FALSE(x.anyKeyDown()) << "a key stays down";
  EXPECT_EQ(x.pointer().mask & (Button1Mask | Button2Mask | Button3Mask), 0u) << "a button stays down";
  EXPECT_TRUE(eventually([&] { return calls("UnInhibit") == calls("Inhibit"); }, 5s)) << "the display stays awake";
  EXPECT_TRUE(eventually([&] { return x.damageTrackers(host->pid()) == 0; }, 5s)) << "capture goes on";

  // The host still listens and takes a new session.
  auto again = sessionFor(next, "Next iPad");
  ASSERT_TRUE(again) << host->output();
  EXPECT_TRUE(again->waitFor<msg::HelloAck>(0ms));
}

// A still screen and a device that says nothing: neither side has anything to send, yet the
// session outlives several idle time-outs because the host keeps the connection alive.
TEST_F(WholeProcessTest, AStillScreenAndASilentDeviceOutliveTheIdleTimeOut) {
  ClientIdentity identity = pairedDevice("Quiet iPad");
  ASSERT_NO_FATAL_FAILURE(startHost({{"BRINDLET_QUIC_IDLE_TIMEOUT_MS", "1000"}}));
  auto device = sessionFor(identity, "Quiet iPad");
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->waitForPicture([](const ReceivedPicture&) { return true; }, 10s)) << host->output();
  // The host's own windows lie on the screen it streams, and its panel shows the stream's
  // encode time: they go, so that nothing on the screen changes.
  XState().withdrawWindowsOf(host->pid());
  // Let the last pictures settle: a slow machine may still be encoding the withdrawal a second
  // later. From then on the screen does not change.
  std::uint64_t frames = device->framesReceived();
  for (auto settleBy = std::chrono::steady_clock::now() + 15s;;) {
    std::this_thread::sleep_for(1s);
    const std::uint64_t now = device->framesReceived();
    if (now == frames) break;
    ASSERT_LT(std::chrono::steady_clock::now(), settleBy) << "pictures keep coming on a still screen";
    frames = now;
  }
  const std::size_t audio = device->audioPackets().size();

  EXPECT_FALSE(device->waitUntilEnded(3500ms)) << host->output();
  EXPECT_EQ(host->output().find("session ended"), std::string::npos) << host->output();
  // Nothing of the session's own was sent meanwhile: only the transport kept it up.
  EXPECT_EQ(device->framesReceived(), frames);
  EXPECT_EQ(device->audioPackets().size(), audio);

  device->send(msg::Ping{4242});
  auto pong = device->waitFor<msg::Pong>(5s);
  ASSERT_TRUE(pong) << host->output();
  EXPECT_EQ(pong->value, 4242u);
}

// Stopping the host (Ctrl-C, SIGTERM) in the middle of a session leaves nothing held on this
// computer: no key or button down, no display kept awake.
TEST_F(WholeProcessTest, StoppingTheHostLetsGoOfWhatTheDeviceHeld) {
  ClientIdentity identity = pairedDevice("Holding iPad");
  ASSERT_NO_FATAL_FAILURE(startHost());
  XState x;
  ASSERT_TRUE(x.isReady());
  auto device = sessionFor(identity, "Holding iPad");
  ASSERT_TRUE(device);
  device->key(HIDUsage::leftShift, true);
  device->button(PointerButton::left, true);
  ASSERT_TRUE(eventually([&] { return x.keyIsDown(XK_Shift_L) && (x.pointer().mask & Button1Mask); }, 5s))
      << host->output();
  ASSERT_TRUE(eventually([&] { return calls("Inhibit") == 1; }, 5s));

  host->signal(SIGTERM);
  auto status = host->waitForExit(15s);
  ASSERT_TRUE(status) << host->output();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host->output();
  EXPECT_FALSE(x.anyKeyDown()) << "a key stays down";
  EXPECT_EQ(x.pointer().mask & (Button1Mask | Button2Mask | Button3Mask), 0u) << "a button stays down";
  EXPECT_EQ(calls("UnInhibit"), calls("Inhibit")) << "the display stays awake";
}

class FocusProcessTest : public WholeProcessTest {
 protected:
  // A device focuses a window with fit; `ending` ends the session; the window is back where it
  // was.
  void focusFitAndEnd(const std::function<void(TestDevice&)>& ending);
};

void FocusProcessTest::focusFitAndEnd(const std::function<void(TestDevice&)>& ending) {
  FocusProcessTest& test = *this;
  ClientIdentity identity = test.pairedDevice("Focuser");
  ASSERT_NO_FATAL_FAILURE(test.startHost());
  // A window of a colour nothing else on the screen has, with a frame of its own.
  ManagedTestWindow window({.title = "Focus me", .x = 300, .y = 200, .width = 400, .height = 300});
  auto frameOf = [&]() -> std::array<int, 4> {
    Display* d = XOpenDisplay(nullptr);
    Window root = 0, child = 0;
    int x = 0, y = 0;
    unsigned w = 0, h = 0, border = 0, depth = 0;
    XGetGeometry(d, window.id(), &root, &x, &y, &w, &h, &border, &depth);
    XTranslateCoordinates(d, window.id(), root, 0, 0, &x, &y, &child);
    XCloseDisplay(d);
    return {x, y, int(w), int(h)};
  };
  const auto before = frameOf();

  auto device = test.sessionFor(identity, "Focuser");
  ASSERT_TRUE(device);
  device->send(msg::Focus{static_cast<std::int32_t>(getpid()), window.id(), true, false});
  auto mode = device->waitFor<msg::StreamMode>(10s);
  ASSERT_TRUE(mode) << test.host->output();
  EXPECT_EQ(mode->info.mode, StreamMode::focus(getpid(), window.id()));
  EXPECT_TRUE(mode->info.fitApplied);
  EXPECT_FALSE(mode->info.notice);

  // Fitted to the device's 1920 x 1080 picture on the 1920 x 1080 monitor: the whole monitor,
  // decorations included, as the X server tells.
  EXPECT_TRUE(eventually([&] { return frameOf()[2] > before[2] && frameOf()[3] > before[3]; }, 5s));
  const auto fitted = frameOf();
  EXPECT_NEAR(fitted[2], 1920, 20);
  EXPECT_NEAR(fitted[3], 1080, 40);

  // The decoded picture shows the window where its client area lies.
  auto showsWindow = [&](const ReceivedPicture& r) {
    const DecodedPicture& p = r.picture;
    const int cx = fitted[0] + fitted[2] / 2, cy = fitted[1] + fitted[3] / 2;
    if (cx >= p.width || cy >= p.height) return false;
    const std::uint8_t* px = p.bgr0.data() + (static_cast<std::size_t>(cy) * p.width + cx) * 4;
    return std::abs(px[0] - 0x99) < 8 && std::abs(px[1] - 0x66) < 8 && std::abs(px[2] - 0x33) < 8;
  };
  EXPECT_TRUE(device->waitForPicture(showsWindow, 10s)) << "pictures decoded: " << device->picturesDecoded();

  ending(*device);
  EXPECT_TRUE(eventually([&] { return frameOf() == before; }, 10s))
      << "at " << frameOf()[0] << "," << frameOf()[1] << " " << frameOf()[2] << "x" << frameOf()[3];
}

TEST_F(FocusProcessTest, AFocusedWindowIsFittedStreamedAndPutBackWhenTheDeviceLeaves) {
  focusFitAndEnd([](TestDevice& device) { device.close(); });
}

TEST_F(FocusProcessTest, AFittedWindowIsPutBackWhenTheHostIsStopped) {
  focusFitAndEnd([this](TestDevice&) {
    host->signal(SIGTERM);
    auto status = host->waitForExit(15s);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host->output();
  });
}

// The device asks for sound and hears what the computer plays: the packets it receives decode,
// with the cookie it was given, to the tone playing on the sound server.
TEST_F(WholeProcessTest, TheDeviceHearsWhatTheComputerPlays) {
  if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "needs the test services' PulseAudio";
  TonePlayer player([](std::size_t frame, int) {
    return static_cast<float>(0.4 * std::sin(2 * 3.14159265358979 * 1500 * static_cast<double>(frame) / 48000));
  });
  ASSERT_TRUE(player.playing());
  ClientIdentity identity = pairedDevice("Listening iPad");
  ASSERT_NO_FATAL_FAILURE(startHost());
  auto device = sessionFor(identity, "Listening iPad");
  ASSERT_TRUE(device);
  device->send(msg::SetAudio{AudioMode::both});
  auto config = device->waitFor<msg::AudioConfig>(15s);
  ASSERT_TRUE(config) << host->output();
  auto playing = device->waitFor(
      [](const Message& m) {
        return m.is<msg::AudioStatus>() && m.as<msg::AudioStatus>()->status == AudioStatus::playing;
      },
      15s);
  ASSERT_TRUE(playing) << host->output();
  ASSERT_TRUE(eventually([&] { return device->audioPackets().size() >= 200; }, 60s)) << host->output();
  auto packets = device->audioPackets();
  AACTestDecoder decoder(config->magicCookie);
  ASSERT_TRUE(decoder.opened());
  std::vector<float> decoded;
  for (const auto& p : packets) decoder.decode(p.data, decoded);
  EXPECT_EQ(decoder.errors(), 0);
  auto left = channelOf(decoded, 2, 0);
  ASSERT_GE(left.size(), 48000u);
  std::vector<float> last(left.end() - 24000, left.end());
  EXPECT_NEAR(peakNear(last, 48000, 1500), 1500, 1.0);
  EXPECT_GE(toneSNR(last, 48000, {1500}), 25);
  device->send(msg::SetAudio{AudioMode::off});
  EXPECT_TRUE(device->waitFor(
      [](const Message& m) { return m.is<msg::AudioStatus>() && m.as<msg::AudioStatus>()->status == AudioStatus::off; },
      10s));
}

// Sound for the device only silences the computer's speakers while the host runs; stopping the
// host gives the speakers back their streams and the default output.
TEST_F(WholeProcessTest, PhoneOnlySoundIsUndoneWhenTheHostStops) {
  if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "needs the test services' PulseAudio";
  TonePlayer player([](std::size_t frame, int) {
    return static_cast<float>(0.3 * std::sin(2 * 3.14159265358979 * 440 * static_cast<double>(frame) / 48000));
  });
  ASSERT_TRUE(player.playing());
  const std::string defaultSink = pactl("get-default-sink");
  ASSERT_TRUE(eventually([] { return streamSinks().size() == 1; }, 5s));
  ClientIdentity identity = pairedDevice("Quiet iPad");
  ASSERT_NO_FATAL_FAILURE(startHost());
  auto device = sessionFor(identity, "Quiet iPad");
  ASSERT_TRUE(device);
  device->send(msg::SetAudio{AudioMode::phoneOnly});
  ASSERT_TRUE(device->waitFor(
      [](const Message& m) {
        return m.is<msg::AudioStatus>() && m.as<msg::AudioStatus>()->status == AudioStatus::playing;
      },
      15s))
      << host->output();
  EXPECT_EQ(streamSinks(), std::vector<std::string>{platform::PulseMonitor::silentSinkName});
  host->signal(SIGTERM);
  ASSERT_TRUE(host->waitForExit(15s)) << host->output();
  EXPECT_EQ(streamSinks(), std::vector<std::string>{defaultSink});
  EXPECT_EQ(pactl("get-default-sink"), defaultSink);
}

// A device outside the local network: it never learns the host's own port and reaches the host
// only through a relay with the relays and grant the host sent it over the local network
// earlier, and gets the same session there: authenticated, streamed, its input carried out.
TEST_F(WholeProcessTest, ADeviceReachesTheHostThroughTheRelayAndGetsTheSameSession) {
  // The port a test server prints ("port N") once it listens.
  auto portOf = [](ChildProcess& server) -> int {
    if (!server.waitForOutput("port ", 20s) ||
        !eventually([&] { return server.output().find('\n') != std::string::npos; }, 5s)) {
      return 0;
    }
    return std::stoi(server.output().substr(server.output().find("port ") + 5));
  };
  const std::string secret = toHex(platform::secureRandomBytes(32));
  ChildProcess relay(BRINDLET_TEST_RELAY_BINARY, {"--secret", secret}, {});
  const int relayPort = portOf(relay);
  ASSERT_GT(relayPort, 0) << relay.output();
  ChildProcess coordinator("/usr/bin/python3",
                           {BRINDLET_TEST_COORDINATOR, "--dir", home.root().string(), "--secret", secret, "--plain",
                            "--relay", "127.0.0.1:" + std::to_string(relayPort) + ":sin", "--enrolled",
                            AuthCrypto::base64URLEncode(home.hostRelayKey()) + "=Family"},
                           {});
  const int coordinatorPort = portOf(coordinator);
  ASSERT_GT(coordinatorPort, 0) << coordinator.output();
  home.enrolForRemoteAccess("http://127.0.0.1:" + std::to_string(coordinatorPort), "Family");

  ClientIdentity identity = pairedDevice("Traveller");
  ASSERT_NO_FATAL_FAILURE(startHost());
  XState x;
  ASSERT_TRUE(x.isReady());
  X11InputObserver observer;
  ASSERT_TRUE(observer.isReady());
  constexpr int left = 240, top = 180, width = 320, height = 240;
  XTestWindow window(left, top, width, height, true);
  window.paint([](int px, int py) { return testPixel(px, py, 2); });
  auto screen = x.grab(left, top, width, height);

  // At home: the host tells the device which relays to use and grants it a join, once it has
  // registered with the relay; the device keeps that for the host.
  RelayConfigStore configs(std::make_shared<MemorySecretStore>());
  {
    auto local = sessionFor(identity, "Traveller");
    ASSERT_TRUE(local);
    auto message = local->waitFor(
        [](const Message& m) { return m.is<msg::RelayConfig>() && !m.as<msg::RelayConfig>()->relays.empty(); }, 20s);
    ASSERT_TRUE(message) << host->output();
    const auto& received = *message->as<msg::RelayConfig>();
    configs.setRelayConfigForHost({received.relays, received.grant}, hostID);
  }
  auto config = configs.relayConfigForHost(hostID);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->relays, (std::vector<RelayEndpoint>{{"127.0.0.1", static_cast<std::uint16_t>(relayPort)}}));
  EXPECT_TRUE(RelayConfigStore::relayConfigIsValid(*config, identity.publicKeyX963()));

  // Away: through the relay only.
  TestDevice device(identity, "Traveller");
  device.connectThroughRelay(config->relays, config->grant, pin);
  ASSERT_EQ(device.authenticate(), ClientHandshake::Event::authenticated()) << host->output();
  device.hello();
  auto list = device.waitFor<msg::DisplayList>(15s);
  ASSERT_TRUE(list) << host->output();
  EXPECT_EQ(list->displays.size(), 2u);
  auto picture = device.waitForPicture(
      [&](const ReceivedPicture& r) { return psnrOf(r, left, top, width, height, screen) > 30; }, 15s);
  EXPECT_TRUE(picture) << "no decoded picture shows the window; pictures decoded: " << device.picturesDecoded();

  device.tap(HIDUsage::a, ModifierFlags::shift);
  auto press = observer.waitForKeyTap();
  ASSERT_TRUE(press) << host->output();
  EXPECT_EQ(press->keysym, static_cast<unsigned long>(XK_A));

  // A grant is this device's alone: another device cannot use it.
  TestDevice stranger(TestDevice::newIdentity(), "Stranger");
  EXPECT_ANY_THROW(stranger.connectThroughRelay(config->relays, config->grant, pin));
  device.close();

  // The command-line device goes the same way with the relay and grant it is given, and prints
  // the relay configuration the host sends it again.
  const std::string relayText = "127.0.0.1:" + std::to_string(relayPort);
  const std::string grantText = AuthCrypto::base64URLEncode(config->grant);
  ChildProcess tool(BRINDLET_TEST_DEVICE_BINARY,
                    {"--relay", relayText, "--grant", grantText, "--pin", toHex(pin), "--identity",
                     writeIdentity(identity), "--name", "Traveller"},
                    {});
  auto status = tool.waitForExit(30s);
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << tool.output();
  EXPECT_NE(tool.output().find("connected through the relay"), std::string::npos) << tool.output();
  // A grant issued anew for this session: one for the same device.
  const std::string printed = "received relayConfig relays=" + relayText + " grant=";
  const auto at = tool.output().find(printed);
  ASSERT_NE(at, std::string::npos) << tool.output();
  const std::string text = tool.output().substr(at + printed.size());
  auto again = AuthCrypto::base64URLDecode(text.substr(0, text.find('\n')));
  ASSERT_TRUE(again) << tool.output();
  EXPECT_TRUE(RelayConfigStore::relayConfigIsValid({config->relays, *again}, identity.publicKeyX963()));
  EXPECT_NE(tool.output().find("received displayList"), std::string::npos) << tool.output();
}

// The device lists the installed apps, launches the fixture app through its desktop entry and
// sees its window in the running apps, then quits it and sees it leave.
TEST_F(WholeProcessTest, TheDeviceLaunchesAnInstalledAppAndSeesItsWindowInTheAppList) {
  const std::string id = "org.example.LaunchFixture.desktop";
  std::filesystem::create_directories(home.dataFolder / "applications");
  std::ofstream(home.dataFolder / "applications" / id)
      << "[Desktop Entry]\nType=Application\nName=Launch Fixture\nExec=" << APP_WINDOW_TEST_APP
      << " LaunchFixture \"Launched window\"\nStartupWMClass=LaunchFixture\n";
  const auto systemData = home.root() / "system-data";
  std::filesystem::create_directories(systemData);
  ClientIdentity identity = pairedDevice("Apps iPad");
  ASSERT_NO_FATAL_FAILURE(startHost({{"XDG_DATA_DIRS", systemData.string()}}));
  auto device = sessionFor(identity, "Apps iPad");
  ASSERT_TRUE(device);

  device->send(msg::RequestInstalledApps{});
  auto installed = device->waitFor<msg::InstalledApps>(15s);
  ASSERT_TRUE(installed) << host->output();
  ASSERT_EQ(installed->apps.size(), 1u);
  EXPECT_EQ(installed->apps[0].bundleID, id);
  EXPECT_EQ(installed->apps[0].name, "Launch Fixture");

  device->send(msg::SetAppListUpdates{true});
  ASSERT_TRUE(device->waitFor<msg::AppList>(15s)) << host->output();
  device->send(msg::LaunchApp{id, false});
  auto state = [](LaunchState wanted) {
    return [wanted](const Message& m) {
      return m.is<msg::LaunchStatus>() && m.as<msg::LaunchStatus>()->status.state == wanted;
    };
  };
  ASSERT_TRUE(device->waitFor(state(LaunchState::launching), 15s)) << host->output();
  ASSERT_TRUE(device->waitFor(state(LaunchState::broughtToFront), 20s)) << host->output();
  auto listed = [&](bool present) {
    return [id, present](const Message& m) {
      const auto* list = m.as<msg::AppList>();
      if (!list) return false;
      auto app = std::find_if(list->apps.begin(), list->apps.end(), [&](const AppInfo& a) { return a.bundleID == id; });
      if (!present) return app == list->apps.end();
      return app != list->apps.end() && app->windows.size() == 1 && app->windows[0].title == "Launched window";
    };
  };
  auto withWindow = device->waitFor(listed(true), 15s);
  ASSERT_TRUE(withWindow) << host->output();
  const auto& apps = withWindow->as<msg::AppList>()->apps;
  const std::int32_t pid =
      std::find_if(apps.begin(), apps.end(), [&](const AppInfo& a) { return a.bundleID == id; })->pid;
  auto recent = device->waitFor(
      [pid](const Message& m) {
        const auto* r = m.as<msg::RecentApps>();
        return r && !r->pids.empty() && r->pids.front() == pid;
      },
      15s);
  EXPECT_TRUE(recent) << host->output();

  // An app list sent after the quit no longer has the app.
  const std::size_t before = device->received().size();
  device->send(msg::QuitApp{pid});
  EXPECT_TRUE(eventually(
      [&] {
        auto messages = device->received();
        return std::any_of(messages.begin() + std::ptrdiff_t(std::min(before, messages.size())), messages.end(),
                           listed(false));
      },
      15s))
      << host->output();
  EXPECT_TRUE(eventually([pid] { return ::kill(pid, 0) != 0; }, 10s));
}

}  // namespace
}  // namespace brindlet::testing
