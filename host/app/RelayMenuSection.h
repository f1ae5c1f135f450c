#pragma once

// The relay controller as the panel's remote-access section reads and drives it. Main strand.
//
//   auto section = std::make_shared<RelayMenuSection>(controller);
//   MenuBarPanel panel(ui, mainStrand, actions, section);

#include <memory>

#include "host/ui/RelaySection.h"

namespace brindlet::host {

class RelayController;

class RelayMenuSection final : public RelaySectionModel {
 public:
  explicit RelayMenuSection(std::shared_ptr<RelayController> relay);

  bool enabled() const override;
  std::optional<std::string> accountLabel() const override;
  bool joining() const override;
  const std::string& inviteDraft() const override;
  void setInviteDraft(std::string text) override;
  std::optional<std::string> statusLine() const override;
  bool statusIsError() const override;
  bool isInviteCode(const std::string& text) const override;
  void join(const std::string& text) override;
  void setSwitch(bool on) override;

 private:
  std::shared_ptr<RelayController> relay_;
};

}  // namespace brindlet::host
