#include "host/app/RelayMenuSection.h"

#include "host/app/RelayController.h"
#include "kit/relay/InviteCode.h"

namespace brindlet::host {

RelayMenuSection::RelayMenuSection(std::shared_ptr<RelayController> relay) : relay_(std::move(relay)) {}

bool RelayMenuSection::enabled() const { return relay_->enabled(); }
std::optional<std::string> RelayMenuSection::accountLabel() const { return relay_->accountLabel(); }
bool RelayMenuSection::joining() const { return relay_->joining(); }
const std::string& RelayMenuSection::inviteDraft() const { return relay_->inviteDraft(); }
void RelayMenuSection::setInviteDraft(std::string text) { relay_->setInviteDraft(std::move(text)); }
std::optional<std::string> RelayMenuSection::statusLine() const { return relay_->statusLine(); }
bool RelayMenuSection::statusIsError() const { return relay_->statusIsError(); }
bool RelayMenuSection::isInviteCode(const std::string& text) const { return InviteCode::normalize(text).has_value(); }
void RelayMenuSection::join(const std::string& text) { relay_->join(text); }
void RelayMenuSection::setSwitch(bool on) { relay_->setSwitch(on); }

}  // namespace brindlet::host
