#include "host/ui/MenuBarModel.h"

#include <algorithm>
#include <cstdio>

#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

namespace {

std::string formatWhole(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

bool isLive(const std::optional<SessionStatus>& status) {
  return status && status->phase != SessionStatus::Phase::ended;
}

std::string statusText(const MenuBarSnapshot& snapshot) {
  if (isLive(snapshot.status)) return "Connected — " + snapshot.status->deviceName;
  if (!snapshot.encoderReady) return "Checking video encoder…";
  if (snapshot.listenerRetrying) return "Not advertising — retrying…";
  return "Waiting for connections";
}

std::string profileLabel(const std::optional<CodecProfile>& profile) {
  return profile ? std::string(displayName(*profile)) : "—";
}

std::string displayLine(const SessionStatus& status) {
  if (status.displayName.empty()) return "No display";
  return status.displayName + " · " + std::to_string(status.width) + "×" + std::to_string(status.height);
}

std::string statsLine(const SessionStatus& status) {
  std::string line = profileLabel(status.profile);
  if (status.encodeLatencyMs) line += " · " + formatWhole("%.0f ms", *status.encodeLatencyMs);
  line += " · " + formatWhole("%.0f Mbps", status.bitrateMbps);
  return line;
}

MenuBarView MenuBarView::render(const MenuBarSnapshot& snapshot) {
  MenuBarView view;
  view.statusText = host::statusText(snapshot);
  view.live = isLive(snapshot.status);
  if (view.live) {
    const SessionStatus& status = *snapshot.status;
    Card card;
    card.displayLine = displayLine(status);
    card.statsLine = statsLine(status);
    if (status.captureError) {
      card.footnote = status.captureError;
      card.footnoteIsError = true;
    } else {
      card.footnote = status.note;
    }
    view.card = std::move(card);
  }
  view.disconnectEnabled = view.live;
  view.showsNoDevices = snapshot.pairedDevices.empty();
  for (const PairedDevice& device : snapshot.pairedDevices) {
    bool removing =
        std::find(snapshot.removing.begin(), snapshot.removing.end(), device.deviceID) != snapshot.removing.end();
    view.devices.push_back({device.deviceID, device.name, device.lastSeen, "Remove " + device.name, removing});
  }
  view.pairEnabled = snapshot.securityReady;
  view.securityError = snapshot.securityError;
  view.screenRecordingGranted = snapshot.screenRecording;
  view.accessibilityGranted = snapshot.accessibility;
  view.checkForUpdatesEnabled = snapshot.canCheckForUpdates;
  view.keepDisplayAwake = snapshot.keepDisplayAwake;
  view.launchAtLogin = snapshot.launchAtLogin;
  return view;
}

}  // namespace brindlet::host
