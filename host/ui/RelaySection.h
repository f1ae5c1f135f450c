#pragma once

// The remote-access block of the menu-bar panel: the switch that allows access from outside
// this network, the invite row while the computer has not joined, and the relay's state in
// one line. It is a thin view over the relay controller, reached through RelaySectionModel.
//
//   RelaySection::View view = RelaySection::render(controller);
//   switch changed:  controller.setSwitch(on);   // the switch then shows what it holds
//   Return or Join:  controller.join(controller.inviteDraft());

#include <optional>
#include <string>

namespace brindlet::host {

// What the section reads of the relay controller and the operations it calls. All on the
// main strand.
class RelaySectionModel {
 public:
  virtual ~RelaySectionModel() = default;

  virtual bool enabled() const = 0;
  // The enrolled account's label; nothing while this computer has not joined.
  virtual std::optional<std::string> accountLabel() const = 0;
  virtual bool joining() const = 0;
  virtual const std::string& inviteDraft() const = 0;
  virtual void setInviteDraft(std::string text) = 0;
  // "Joining…", a pending notice, or the relay service's state; and whether it is an error.
  virtual std::optional<std::string> statusLine() const = 0;
  virtual bool statusIsError() const = 0;
  // Whether the text reads as an invite code once normalised.
  virtual bool isInviteCode(const std::string& text) const = 0;
  // Joins with the typed code; the controller validates it and ignores a second join.
  virtual void join(const std::string& text) = 0;

  // The switch: stores "relay.enabled" (switching off also clears a pending notice and the
  // invite field), reconciles the service with the stored setting, and passes the changed
  // configuration on.
  virtual void setSwitch(bool on) = 0;
};

class RelaySection {
 public:
  struct View {
    bool switchOn = false;
    bool showsInviteRow = false;
    std::string inviteDraft;
    bool joinEnabled = false;
    std::optional<std::string> statusLine;
    bool statusIsError = false;
    bool operator==(const View&) const = default;
  };

  static View render(const RelaySectionModel& relay);

  static constexpr const char* heading = "REMOTE ACCESS";
  static constexpr const char* switchLabel = "Allow access outside this network";
  static constexpr const char* invitePlaceholder = "Invite code";
  static constexpr const char* joinLabel = "Join";
};

}  // namespace brindlet::host
