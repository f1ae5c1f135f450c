#pragma once

// The host's central model: it probes the encoder, bootstraps the host's identity, paired
// devices and pairing service, supervises the network listener, turns every accepted
// connection into a session (behind the authentication gate for network connections),
// replaces the current session when another device takes over and tells the new session
// what sleep, display sleep and lock made of this computer, follows sleep, wake, lock and
// network changes, and polls the permissions. It lives on the application's main strand:
// every member is touched there only. Its sessions are served until their connections end:
// stop() closes those connections and waits until every session has ended; destroying the
// model closes them too and cancels whatever it still runs.
//
//   auto model = AppModel::make(executor, mainStrand, power, loopback, services);
//   model->start();
//   co_await model->stop();               // on the main strand, before the model goes
//
// The composition root (HostComposition) makes its services; tests make their own.
//
// Remote access: when a relay controller is given, the model hands it the host key and every
// port the supervisor publishes, and sends the current session its relay configuration again
// whenever the controller says it changed.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/thread_pool.hpp>

#include "base/Clock.h"
#include "host/app/CaptureControlling.h"
#include "host/app/CaptureLifecycle.h"
#include "host/app/ListenerSupervisor.h"
#include "host/app/Permissions.h"
#include "host/app/RelayController.h"
#include "host/capture/HostPowerEvent.h"
#include "host/capture/PowerManaging.h"
#include "host/control/HostInbox.h"
#include "host/session/HostSecurity.h"
#include "host/session/HostSession.h"
#include "host/session/SessionStatus.h"
#include "host/ui/PairingPrompter.h"
#include "kit/pairing/AuthTimeouts.h"
#include "kit/pairing/HostAuthGating.h"
#include "kit/pairing/HostPairingService.h"
#include "kit/pairing/PairedDevice.h"
#include "kit/protocol/MediaRecords.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"
#include "kit/transport/HostListener.h"
#include "platform/power/LoginItem.h"
#include "platform/power/SystemPowerEvents.h"

namespace brindlet::host {

class EncoderFactory;

class AppModel final : public CaptureControlling, public std::enable_shared_from_this<AppModel> {
 public:
  using ListenerFactory = std::function<ListenerStart(const HostSecurity&, std::optional<std::uint16_t>)>;
  using AuthenticatedHandler = std::function<void(const UUID&)>;
  using WakeRequest = std::function<asio::awaitable<void>(bool displayWasAsleep)>;
  using GateFactory = std::function<std::shared_ptr<HostAuthGating>(
      std::shared_ptr<Connection>, std::shared_ptr<HostPairingService>, AuthTimeouts, AuthenticatedHandler)>;

  // What the model takes from the system.
  struct Services {
    // Probes the encoder (blocking; run on a thread of its own).
    std::function<std::shared_ptr<EncoderFactory>()> probeEncoders;
    // Loads or creates the host identity; throws when it can do neither.
    std::function<std::shared_ptr<SelfSignedIdentity>()> loadIdentity;
    std::function<std::shared_ptr<PairedDeviceStore>()> openPairedDevices;
    GateFactory makeGate;
    // Makes each accepted connection's environment, with the encoders the probe found and the
    // model's answer to the session's wake request.
    std::function<HostEnvironment(std::shared_ptr<EncoderFactory>, WakeRequest)> makeEnvironment;
    // The network listener the supervisor starts once the host has its identity.
    ListenerFactory listenerFactory;
    std::shared_ptr<Permissions::System> permissions;
    // Follow sleep, wake, lock and network-path changes of this machine.
    bool watchSystem = true;
    // Every "now", sleep and timer of the model; required.
    std::shared_ptr<Clock> clock;
    // Pruned of transfers older than a day when the model starts.
    std::optional<HostInbox> inbox;
    // The number that names this computer to devices.
    UUID hostID;
    // Whether the main display sleeps (the capture lifecycle's probe, on the main strand).
    std::function<bool()> isDisplayAsleep;
    // The setting "keepDisplayAwakeWhileConnected"; nothing: true, as when it is absent.
    std::function<bool()> keepDisplayAwake;
    // The host's autostart entry, read when the model is made; nothing: not started at login.
    std::optional<platform::LoginItem> loginItem;
    // Remote access; nothing: this host has none.
    std::shared_ptr<RelayController> relay;
    // The two questions about an opened invite link: whether to join with the code (true for
    // Join), and the notice that this host is already enrolled (with the account's label).
    std::function<asio::awaitable<bool>(std::string)> confirmInvite;
    std::function<void(std::string)> informAlreadyJoined;
    // Stores the setting "keepDisplayAwakeWhileConnected"; nothing: the change is not kept.
    std::function<void(bool)> storeKeepDisplayAwake;
    // Runs on the main strand once a session has ended and its run is over; nothing: nothing
    // runs then.
    std::function<void()> afterSession;
  };

  static std::shared_ptr<AppModel> make(const Executor& executor, Strand mainStrand,
                                        std::shared_ptr<PowerManaging> power, std::shared_ptr<HostListener> loopback,
                                        Services services);

  // Once: starts the permission poll and the probe-then-bootstrap work.
  void start();

  // Stops following the system and listening, closes every session's connection and waits
  // (on the main strand) until each session has ended: sessions are served to their end,
  // never cancelled.
  asio::awaitable<void> stop();

  // The accept path: every connection, from the network listener (authenticate) or the
  // loopback listener.
  void acceptConnection(std::shared_ptr<Connection> connection, bool authenticate);

  // Answers of the pairing confirmation (the dialog's Allow or Deny, and its closing).
  void answerPairing(bool accepted, const UUID& id);
  void declinePairingOnClose(const UUID& id);
  // How the confirmation dialog is shown and closed (set by the application).
  std::function<void(const PairingPrompter::Pending&)> showConfirmation;
  std::function<void()> closeConfirmation;

  // A URL opened with the application: invite links offer to join remote access; every other
  // URL is ignored.
  void handleOpenURL(const std::string& url);
  // Forgets the device (its live connections close) and denies its key remote access for 31
  // days, which a running relay host service is told of at once. Nothing without the host's
  // identity.
  void removeDevice(const PairedDevice& device);
  // Sends the current session its relay configuration again (nothing without a session).
  void refreshSessionRelayConfig();
  // The remote-access owner (nothing: this host has none), and how the two invite questions
  // are asked (set by the application's windows before the model starts).
  const std::shared_ptr<RelayController>& relay() const { return services_.relay; }
  void setInviteQuestions(std::function<asio::awaitable<bool>(std::string)> confirm,
                          std::function<void(std::string)> informAlreadyJoined);
  // The user's actions from the panel (and removeDevice above). Disconnect closes the current
  // session's connection; the two settings are stored and the switches then show what the
  // model holds.
  void closeSessionConnection();
  void setKeepDisplayAwake(bool value);
  void setLaunchAtLogin(bool value);

  // Sleep, wake, display sleep and lock: queued, and handed to the capture lifecycle one at a
  // time, in order, once the host is set up.
  void handlePowerEvent(HostPowerEvent event);

  // The current session's capture and host state (on the main strand).
  asio::awaitable<void> suspendCapture(std::string reason) override;
  asio::awaitable<void> resumeCapture() override;
  asio::awaitable<void> hostNote(std::optional<std::string> note) override;
  asio::awaitable<void> publish(HostState state, std::optional<std::string> note) override;

  // Told whenever an observed value changed.
  std::function<void()> onChange;

  // Observed values.
  const std::optional<SessionStatus>& status() const { return status_; }
  const Permissions::Status& permissions() const { return permissions_; }
  // Whether the host starts at login, as read when the model was made.
  bool launchAtLogin() const { return launchAtLogin_; }
  bool encoderReady() const { return encoderReady_; }
  const std::vector<CodecProfile>& supportedProfiles() const { return supportedProfiles_; }
  const std::vector<PairedDevice>& pairedDevices() const { return pairedDevices_; }
  const std::optional<std::string>& securityError() const { return securityError_; }
  bool keepDisplayAwake() const { return keepDisplayAwake_; }

  const std::shared_ptr<PairingPrompter>& prompter() const { return prompter_; }
  const std::optional<HostSecurity>& security() const { return security_; }
  const std::shared_ptr<ListenerSupervisor>& supervisor() const { return supervisor_; }
  const std::shared_ptr<HostSession>& session() const { return session_; }
  std::size_t candidateCount() const { return candidates_.size(); }
  std::optional<std::uint16_t> listenerPort() const { return listenerPort_; }
  // The host state that sleep, display sleep and lock make, as a new session is told it.
  HostState hostState() const { return lifecycle_->state(); }
  const std::shared_ptr<CaptureLifecycle>& lifecycle() const { return lifecycle_; }

  AppModel(const Executor& executor, Strand mainStrand, std::shared_ptr<PowerManaging> power,
           std::shared_ptr<HostListener> loopback, Services services);
  ~AppModel();

 private:
  struct Candidate {
    std::shared_ptr<HostSession> session;
    std::shared_ptr<Connection> connection;
  };

  void bootstrapSecurity();
  void startSystemEvents();
  void startLoopbackAccepting();
  void reloadPairedDevices();
  void activateSession(const UUID& candidate, std::optional<UUID> deviceID);
  void sessionStatusChanged(const SessionStatus& status, const UUID& token);
  void dropCandidate(const UUID& id);
  void keep(Task task);
  void changed();

  static asio::awaitable<void> pollPermissions(std::weak_ptr<AppModel> weak, std::shared_ptr<Clock> clock,
                                               std::shared_ptr<Permissions::System> system);
  static asio::awaitable<void> acceptConnections(std::weak_ptr<AppModel> weak, std::shared_ptr<HostListener> listener,
                                                 bool authenticate);
  void stopWatching();
  static asio::awaitable<void> probeEncoders(std::weak_ptr<AppModel> weak,
                                             std::function<std::shared_ptr<EncoderFactory>()> probe,
                                             asio::thread_pool::executor_type thread);
  static asio::awaitable<std::shared_ptr<EncoderFactory>> probeBlocking(
      std::function<std::shared_ptr<EncoderFactory>()> probe);
  static asio::awaitable<void> runSession(std::weak_ptr<AppModel> weak, std::shared_ptr<HostSession> session, UUID id);
  static asio::awaitable<void> installChangeHandler(std::weak_ptr<AppModel> weak,
                                                    std::shared_ptr<HostPairingService> service, Strand main);
  static asio::awaitable<void> replace(std::shared_ptr<HostSession> session, std::string name);
  static asio::awaitable<void> retrySecurity(std::weak_ptr<AppModel> weak, std::shared_ptr<Clock> clock, double delay);
  static asio::awaitable<void> offerInvite(std::weak_ptr<AppModel> weak, std::string code);
  static asio::awaitable<void> forgetDevice(std::shared_ptr<HostPairingService> service, UUID deviceID);
  static asio::awaitable<void> resendRelayConfig(std::shared_ptr<HostSession> session);
  void startRemoteAccess(const SelfSignedIdentity& identity);
  static asio::awaitable<void> feedLifecycle(AsyncStream<HostPowerEvent> events,
                                             std::shared_ptr<CaptureLifecycle> lifecycle);
  static asio::awaitable<void> wakeDisplay(std::weak_ptr<AppModel> weak, Strand main, bool displayWasAsleep);
  static asio::awaitable<void> wakeDisplayOnMain(std::weak_ptr<AppModel> weak, bool displayWasAsleep);
  static asio::awaitable<void> tellLifecycle(std::shared_ptr<HostSession> session, bool locked, HostStateReport report);

  Executor executor_;
  Strand main_;
  std::shared_ptr<PowerManaging> power_;
  std::shared_ptr<HostListener> loopback_;
  Services services_;

  std::optional<SessionStatus> status_;
  Permissions::Status permissions_;
  bool launchAtLogin_ = false;
  bool encoderReady_ = false;
  std::vector<CodecProfile> supportedProfiles_;
  std::vector<PairedDevice> pairedDevices_;
  std::optional<std::string> securityError_;
  bool keepDisplayAwake_ = true;

  std::shared_ptr<PairingPrompter> prompter_;
  std::optional<HostSecurity> security_;
  std::shared_ptr<ListenerSupervisor> supervisor_;
  std::optional<std::uint16_t> listenerPort_;
  std::shared_ptr<EncoderFactory> encoders_;
  std::shared_ptr<HostSession> session_;
  std::map<UUID, Candidate> candidates_;
  UUID sessionToken_ = UUID::random();
  std::optional<UUID> sessionDeviceID_;
  std::shared_ptr<CaptureLifecycle> lifecycle_;
  std::unique_ptr<platform::SystemPowerEvents> systemEvents_;
  AsyncStream<HostPowerEvent> powerEvents_;
  std::vector<Task> tasks_;
  // Each candidate's session, served until its connection ends.
  std::map<UUID, Task> sessionTasks_;
  // While stop() waits: the sessions that ended.
  AsyncStream<UUID> sessionEnds_;
  bool stopping_ = false;
  bool loopbackAccepting_ = false;
  std::int64_t identityAttempts_ = 0;  // failed loads of the host identity so far
  // The encoder probe blocks while x265 encodes its test pictures: it runs on this thread,
  // which the model joins when it goes, awaited by the probe task on the main strand.
  asio::thread_pool probeThread_{1};
  Task probeTask_;
  bool started_ = false;
};

}  // namespace brindlet::host
