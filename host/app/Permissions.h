#pragma once

// The two grants the host needs: screen capture and input (accessibility), and the request
// for one of them, which falls back to its settings pane when the system does not grant it
// on the spot.
//
//   Permissions::Status status = Permissions::current(Permissions::system());
//   Permissions::request(Permissions::Kind::accessibility, Permissions::system());
//
// On X11 neither is a grant of the user's: screen capture works when the X server can be
// reached, input when it offers the XTest extension. There is no settings pane to open;
// opening one is logged.

#include <memory>
#include <string>

namespace brindlet::host {

struct Permissions {
  struct Status {
    bool screenRecording = false;
    bool accessibility = false;

    bool operator==(const Status&) const = default;
  };

  enum class Kind { screenRecording, accessibility };

  // What the system answers about the grants.
  class System {
   public:
    virtual ~System() = default;
    virtual bool preflightScreenCapture() = 0;
    virtual bool requestScreenCapture() = 0;
    // Whether input may be injected; `prompt` asks the system to show its own prompt.
    virtual bool isTrusted(bool prompt) = 0;
    virtual void openURL(const std::string& url) = 0;
  };

  static std::shared_ptr<System> system();
  static Status current(System& system);
  static void request(Kind kind, System& system);
  static std::string settingsURL(Kind kind);
};

}  // namespace brindlet::host
