#pragma once

// The host's one owner of remote access. It enrols with the coordinator by invite code, keeps
// at most one relay host service running according to the switch, the enrolled account and
// the host key, mirrors the service's status for the menu, tells the provisioner which relays
// devices may use, and drops the enrolment when the coordinator says it is gone. It lives on
// the main strand: every member is used there only.
//
//   auto relay = RelayController::make(mainStrand, settings, provisioner, makeService, enroll, clock);
//   relay->onConfigChanged = [] { ... send devices their relay configuration again ... };
//   relay->setSigner(signer);
//   relay->reconcile();                  // starts the service when switched on and enrolled
//   relay->join("ABCDE-FGHJK");          // the menu's Join button or an invite link

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "host/app/RelaySettings.h"
#include "kit/relay/RelayHostService.h"
#include "kit/support/Task.h"

namespace brindlet {
class RelaySigner;
class CoordinatorError;
}  // namespace brindlet

namespace brindlet::host {

class RelayProvisioner;

class RelayController final : public std::enable_shared_from_this<RelayController> {
 public:
  using Status = RelayHostService::Status;
  // Builds a service for the account (throws, e.g. for an address that is not valid).
  using ServiceFactory = std::function<std::shared_ptr<RelayHostService>(
      const RelayAccount&, std::shared_ptr<RelaySigner>, std::optional<std::uint16_t>, std::vector<Bytes>)>;
  // Enrols with the coordinator at the address with the code; the account label.
  using Enroll = std::function<asio::awaitable<std::string>(std::string, std::string, std::shared_ptr<RelaySigner>)>;

  static std::shared_ptr<RelayController> make(Strand main, std::shared_ptr<RelaySettings> settings,
                                               std::shared_ptr<RelayProvisioner> provisioner,
                                               ServiceFactory makeService, Enroll enroll, std::shared_ptr<Clock> clock);
  ~RelayController();

  // Observed values.
  const Status& status() const { return status_; }
  bool enabled() const { return enabled_; }
  const std::optional<std::string>& accountLabel() const { return accountLabel_; }
  bool joining() const { return joining_; }
  const std::optional<std::string>& notice() const { return notice_; }
  const std::string& inviteDraft() const { return inviteDraft_; }
  // The menu's status line and whether it shows an error.
  std::optional<std::string> statusLine() const;
  bool statusIsError() const;

  void setInviteDraft(std::string text);
  // The menu's switch: stores "relay.enabled" (switching off also clears the notice and the
  // invite field), reconciles and tells devices.
  void setSwitch(bool on);
  void join(const std::string& text);
  void reconcile();
  void forgetAccount(const CoordinatorError& error);
  void setSigner(std::shared_ptr<RelaySigner> signer);
  void setListenerPort(std::optional<std::uint16_t> port);

  const std::shared_ptr<RelayHostService>& service() const { return service_; }
  const std::shared_ptr<RelaySettings>& settings() const { return settings_; }

  std::function<void()> onConfigChanged;
  // Told whenever an observed value changed.
  std::function<void()> onChange;

  RelayController(Strand main, std::shared_ptr<RelaySettings> settings, std::shared_ptr<RelayProvisioner> provisioner,
                  ServiceFactory makeService, Enroll enroll, std::shared_ptr<Clock> clock);

 private:
  template <class T>
  void assign(T& field, T value);
  void configChanged();
  void pushDenied();
  static asio::awaitable<void> mirror(std::weak_ptr<RelayController> weak, AsyncStream<Status> statuses);
  static asio::awaitable<void> runJoin(std::weak_ptr<RelayController> weak, Enroll enroll, std::string url,
                                       std::string code, std::shared_ptr<RelaySigner> signer);

  Strand main_;
  std::shared_ptr<RelaySettings> settings_;
  std::shared_ptr<RelayProvisioner> provisioner_;
  ServiceFactory makeService_;
  Enroll enroll_;
  std::shared_ptr<Clock> clock_;

  Status status_ = Status::stopped();
  bool enabled_ = false;
  std::optional<std::string> accountLabel_;
  bool joining_ = false;
  std::optional<std::string> notice_;
  std::string inviteDraft_;

  std::shared_ptr<RelayHostService> service_;
  Task statusTask_;
  Task joinTask_;
  std::optional<std::uint16_t> listenerPort_;
  std::shared_ptr<RelaySigner> signer_;
};

}  // namespace brindlet::host
