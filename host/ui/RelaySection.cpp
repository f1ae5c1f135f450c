#include "host/ui/RelaySection.h"

namespace brindlet::host {

RelaySection::View RelaySection::render(const RelaySectionModel& relay) {
  View view;
  view.switchOn = relay.enabled();
  view.showsInviteRow = relay.enabled() && !relay.accountLabel();
  view.inviteDraft = relay.inviteDraft();
  view.joinEnabled = !relay.joining() && relay.isInviteCode(relay.inviteDraft());
  view.statusLine = relay.statusLine();
  view.statusIsError = view.statusLine && relay.statusIsError();
  return view;
}

}  // namespace brindlet::host
