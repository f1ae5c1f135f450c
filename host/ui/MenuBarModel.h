#pragma once

// What the menu-bar panel shows, worked out from the application's state without any toolkit:
// the window code only draws what render() gives and calls MenuBarActions. The panel keeps no
// state of its own; each change of the application's observed values makes a new snapshot.
//
//   MenuBarView view = MenuBarView::render(snapshot);
//   label.set_text(view.statusText);  dot colour: view.live ? amber : grey
//
// A session counts as live while its status is held and its phase is not `ended`.

#include <optional>
#include <string>
#include <vector>

#include "host/session/SessionStatus.h"
#include "kit/pairing/PairedDevice.h"

namespace brindlet::host {

// The application's observed values that the panel reads.
struct MenuBarSnapshot {
  std::optional<SessionStatus> status;
  bool encoderReady = false;
  // The listener supervisor is retrying after a failure.
  bool listenerRetrying = false;
  std::vector<PairedDevice> pairedDevices;
  // The security bootstrap has produced the identity and the pairing service.
  bool securityReady = false;
  std::optional<std::string> securityError;
  bool screenRecording = false;
  bool accessibility = false;
  bool keepDisplayAwake = true;
  bool launchAtLogin = false;
  bool canCheckForUpdates = false;
  // Devices whose removal waits out its few seconds for Undo.
  std::vector<UUID> removing;

  bool operator==(const MenuBarSnapshot&) const = default;
};

// Every user action of the panel; the application model implements them.
class MenuBarActions {
 public:
  enum class Grant { screenRecording, accessibility };

  virtual ~MenuBarActions() = default;
  virtual void disconnect() = 0;
  virtual void removeDevice(const PairedDevice& device) = 0;
  virtual void undoRemoval(const UUID& deviceID) = 0;
  virtual void showPairingQR() = 0;
  virtual void grant(Grant kind) = 0;
  virtual void showSetup() = 0;
  virtual void checkForUpdates() = 0;
  virtual void setKeepDisplayAwake(bool value) = 0;
  virtual void setLaunchAtLogin(bool value) = 0;
  virtual void quit() = 0;
};

// The panel's content, top to bottom.
struct MenuBarView {
  struct DeviceRow {
    UUID deviceID;
    std::string name;
    // When the device was last seen; the window shows it as a relative date.
    std::optional<Date> lastSeen;
    // The accessible name of its remove button: "Remove " and the name.
    std::string removeLabel;
    // Its removal waits: the row offers "Undo" instead of the remove button.
    bool removing = false;

    bool operator==(const DeviceRow&) const = default;
  };
  // The streaming card, present while a session is live.
  struct Card {
    std::string displayLine;
    std::string statsLine;
    // The capture error (shown red) or else the session's note (grey); a capture error hides
    // the note.
    std::optional<std::string> footnote;
    bool footnoteIsError = false;

    bool operator==(const Card&) const = default;
  };

  std::string statusText;
  bool live = false;  // amber status dot, card shown, Disconnect enabled
  std::optional<Card> card;
  bool disconnectEnabled = false;
  bool showsNoDevices = false;  // "No devices paired yet"
  std::vector<DeviceRow> devices;
  bool pairEnabled = false;
  std::optional<std::string> securityError;
  bool screenRecordingGranted = false;
  bool accessibilityGranted = false;
  bool checkForUpdatesEnabled = false;
  bool keepDisplayAwake = true;
  bool launchAtLogin = false;

  static MenuBarView render(const MenuBarSnapshot& snapshot);

  bool operator==(const MenuBarView&) const = default;
};

bool isLive(const std::optional<SessionStatus>& status);
// The one-line status beside the dot.
std::string statusText(const MenuBarSnapshot& snapshot);
// "HEVC 4:4:4" and the like; "—" without a profile.
std::string profileLabel(const std::optional<CodecProfile>& profile);
// "Studio · 2560×1440", or "No display".
std::string displayLine(const SessionStatus& status);
// The profile, the encode latency when known and the bitrate, joined with " · ".
std::string statsLine(const SessionStatus& status);

// The panel's fixed texts.
namespace menuBarText {
inline constexpr const char* title = "Nolu Host";
inline constexpr const char* streaming = "Streaming";
inline constexpr const char* disconnect = "Disconnect";
inline constexpr const char* pairedDevices = "Paired devices";
inline constexpr const char* noDevices = "No devices paired yet";
inline constexpr const char* pairNewDevice = "Pair New Device…";
inline constexpr const char* permissions = "Permissions";
inline constexpr const char* screenRecording = "Screen Recording";
inline constexpr const char* accessibility = "Accessibility";
inline constexpr const char* granted = "✓ Granted";
inline constexpr const char* grant = "Grant";
inline constexpr const char* setup = "Setup…";
inline constexpr const char* checkForUpdates = "Check for Updates…";
inline constexpr const char* keepDisplayAwake = "Keep display awake while connected";
inline constexpr const char* startAtLogin = "Start at login";
inline constexpr const char* quit = "Quit Nolu Host";
inline constexpr const char* removeButton = "✕";
}  // namespace menuBarText

}  // namespace brindlet::host
