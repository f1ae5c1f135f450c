#include "host/app/AppModel.h"

#include "host/HostLog.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>

#include "host/app/HostName.h"
#include "host/app/NetworkPathWatch.h"
#include "host/capture/VideoEncoder.h"
#include "kit/relay/InviteCode.h"
#include "kit/relay/RelaySigner.h"
#include "kit/support/Task.h"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

namespace brindlet::host {

namespace {

constexpr AuthTimeouts gateTimeouts{10, 120, 60, 0.2};
std::vector<PairedDevice> sortedByPairing(std::vector<PairedDevice> devices) {
  std::stable_sort(devices.begin(), devices.end(),
                   [](const PairedDevice& a, const PairedDevice& b) { return a.pairedAt < b.pairedAt; });
  return devices;
}

}  // namespace

std::shared_ptr<AppModel> AppModel::make(const Executor& executor, Strand mainStrand,
                                         std::shared_ptr<PowerManaging> power, std::shared_ptr<HostListener> loopback,
                                         Services services) {
  auto model = std::make_shared<AppModel>(executor, std::move(mainStrand), std::move(power), std::move(loopback),
                                          std::move(services));
  std::weak_ptr<AppModel> weak = model;
  model->prompter_->onPresent = [weak](const PairingPrompter::Pending& pending) {
    if (auto self = weak.lock(); self && self->showConfirmation) self->showConfirmation(pending);
  };
  model->prompter_->onDismiss = [weak] {
    if (auto self = weak.lock(); self && self->closeConfirmation) self->closeConfirmation();
  };
  return model;
}

AppModel::AppModel(const Executor& executor, Strand mainStrand, std::shared_ptr<PowerManaging> power,
                   std::shared_ptr<HostListener> loopback, Services services)
    : executor_(executor),
      main_(std::move(mainStrand)),
      power_(std::move(power)),
      loopback_(std::move(loopback)),
      services_(std::move(services)),
      prompter_(PairingPrompter::make(main_)) {
  if (!services_.clock) throw std::invalid_argument("the application model needs a clock");
  lifecycle_ = CaptureLifecycle::make(main_, power_, services_.isDisplayAsleep, services_.clock);
  if (services_.permissions) permissions_ = Permissions::current(*services_.permissions);
  launchAtLogin_ = services_.loginItem && services_.loginItem->isEnabled();
  if (services_.keepDisplayAwake) keepDisplayAwake_ = services_.keepDisplayAwake();
}

AppModel::~AppModel() {
  stopWatching();
  // Whatever stop() did not wait for: the connections close and the session tasks are
  // cancelled with the model.
  for (auto& [id, candidate] : candidates_) candidate.connection->close();
  // The probe's result goes to the main strand: the probe must be done before the executor
  // that strand belongs to can go. Nothing on the probe thread holds the model.
  probeThread_.join();
}

void AppModel::stopWatching() {
  if (systemEvents_) systemEvents_->stop();
  powerEvents_.finish();
  if (supervisor_) supervisor_->stop();
}

asio::awaitable<void> AppModel::stop() {
  auto self = shared_from_this();
  stopWatching();
  stopping_ = true;
  // Every session ends as when its device leaves: its own teardown runs (it lets go of the
  // display, of pressed keys and of capture), then its run drops its candidate.
  for (auto& [id, candidate] : candidates_) candidate.connection->close();
  while (!candidates_.empty()) {
    if (!co_await sessionEnds_.next()) break;
  }
  sessionEnds_.finish();
}

void AppModel::changed() {
  if (onChange) onChange();
}

void AppModel::keep(Task task) {
  std::erase_if(tasks_, [](const Task& t) { return !t.isRunning(); });
  tasks_.push_back(std::move(task));
}

void AppModel::start() {
  if (started_) return;
  started_ = true;
  if (services_.inbox) {
    // Off the main strand; nobody waits for it.
    asio::post(executor_,
               [inbox = *services_.inbox, now = services_.clock->wallNow()] { inbox.prune(86'400, now, {}); });
  }
  if (services_.permissions) {
    keep(Task::spawn(main_, pollPermissions(weak_from_this(), services_.clock, services_.permissions)));
  }
  probeTask_ =
      Task::spawn(main_, probeEncoders(weak_from_this(), services_.probeEncoders, probeThread_.get_executor()));
}

asio::awaitable<void> AppModel::probeEncoders(std::weak_ptr<AppModel> weak,
                                              std::function<std::shared_ptr<EncoderFactory>()> probe,
                                              asio::thread_pool::executor_type thread) {
  // The probe blocks on the probe thread; its result comes back to the main strand.
  std::shared_ptr<EncoderFactory> encoders =
      co_await asio::co_spawn(thread, probeBlocking(std::move(probe)), asio::use_awaitable);
  auto self = weak.lock();
  if (!self) co_return;
  self->encoders_ = encoders;
  self->supportedProfiles_ = encoders ? encoders->supportedProfiles() : std::vector<CodecProfile>{};
  self->encoderReady_ = true;
  self->changed();
  self->bootstrapSecurity();
}

asio::awaitable<std::shared_ptr<EncoderFactory>> AppModel::probeBlocking(
    std::function<std::shared_ptr<EncoderFactory>()> probe) {
  try {
    co_return probe();
  } catch (const std::exception& error) {
    encoderLog().error("encoder probe failed: %s", error.what());
  }
  co_return nullptr;
}

asio::awaitable<void> AppModel::pollPermissions(std::weak_ptr<AppModel> weak, std::shared_ptr<Clock> clock,
                                                std::shared_ptr<Permissions::System> system) {
  for (;;) {
    if (auto self = weak.lock()) {
      Permissions::Status status = Permissions::current(*system);
      if (!(status == self->permissions_)) {
        self->permissions_ = status;
        self->changed();
      }
    }
    co_await clock->sleep(std::chrono::seconds(2));
  }
}

void AppModel::bootstrapSecurity() {
  UUID hostID = services_.hostID;
  std::string hostName = localizedHostName();
  std::shared_ptr<SelfSignedIdentity> identity;
  try {
    identity = services_.loadIdentity();
    if (!identity) throw std::runtime_error("no identity was made");
  } catch (const std::exception& error) {
    securityError_ = std::string("Could not load the host identity: ") + error.what();
    transportLog().error("%s", securityError_->c_str());
    // The stored items stay as they are; loading is tried again with the listener's back-off
    // (a folder made readable again, a disk with room again).
    const double delay = BackoffPolicy{}.delay(identityAttempts_);
    ++identityAttempts_;
    transportLog().error("host identity: retry %ld in %.*fs", static_cast<long>(identityAttempts_), 0, delay);
    keep(Task::spawn(main_, retrySecurity(weak_from_this(), services_.clock, delay)));
    changed();
    startLoopbackAccepting();
    return;
  }
  if (identityAttempts_ > 0)
    transportLog().notice("host identity loaded after %ld retries", static_cast<long>(identityAttempts_));
  securityError_.reset();
  auto store = services_.openPairedDevices();
  auto service = std::make_shared<HostPairingService>(executor_, hostID, hostName, identity->fingerprint, store,
                                                      prompter_, HostPairingService::systemDate);
  security_ = HostSecurity{identity, service};
  keep(Task::spawn(main_, installChangeHandler(weak_from_this(), service, main_)));
  pairedDevices_ = sortedByPairing(store->allPairedDevices());
  changed();

  std::weak_ptr<AppModel> weak = weak_from_this();
  HostSecurity security = *security_;
  ListenerFactory factory = services_.listenerFactory;
  supervisor_ = ListenerSupervisor::make(
      main_, [factory, security](std::optional<std::uint16_t> port) { return factory(security, port); },
      [weak](std::shared_ptr<Connection> connection) {
        if (auto self = weak.lock()) self->acceptConnection(std::move(connection), true);
      },
      BackoffPolicy{}, services_.clock);
  supervisor_->onPortChange = [weak](std::optional<std::uint16_t> port) {
    auto self = weak.lock();
    if (!self) return;
    self->listenerPort_ = port;
    if (self->services_.relay) self->services_.relay->setListenerPort(port);
  };
  if (services_.relay) {
    services_.relay->onConfigChanged = [weak] {
      if (auto self = weak.lock()) self->refreshSessionRelayConfig();
    };
  }
  supervisor_->onStateChange = [weak](const ListenerState&) {
    if (auto self = weak.lock()) self->changed();
  };
  supervisor_->start();
  startRemoteAccess(*identity);
  startSystemEvents();
  startLoopbackAccepting();
}

asio::awaitable<void> AppModel::installChangeHandler(std::weak_ptr<AppModel> weak,
                                                     std::shared_ptr<HostPairingService> service, Strand main) {
  // Built in a statement of its own: inside the co_await expression g++ 12 would destroy the
  // closure twice, letting go of the model's weak count once too often.
  HostPairingService::ChangeHandler handler = [weak, main] {
    asio::post(main, [weak] {
      if (auto self = weak.lock()) self->reloadPairedDevices();
    });
  };
  co_await service->setChangeHandler(std::move(handler));
}

void AppModel::reloadPairedDevices() {
  pairedDevices_ =
      security_ ? sortedByPairing(security_->service->store()->allPairedDevices()) : std::vector<PairedDevice>{};
  changed();
}

void AppModel::startSystemEvents() {
  // The lifecycle reaches the current session through the model and restarts listening on a
  // wake; it holds both weakly.
  lifecycle_->setCapture(weak_from_this());
  lifecycle_->setListener(supervisor_);
  keep(Task::spawn(main_, feedLifecycle(powerEvents_, lifecycle_)));
  if (!services_.watchSystem) return;
  AsyncStream<HostPowerEvent> events = powerEvents_;
  systemEvents_ =
      std::make_unique<platform::SystemPowerEvents>([events](HostPowerEvent event) { events.yield(event); });
  systemEvents_->start();
  keep(Task::spawn(main_, NetworkPathWatch::watchSystemPath(executor_, supervisor_)));
}

asio::awaitable<void> AppModel::feedLifecycle(AsyncStream<HostPowerEvent> events,
                                              std::shared_ptr<CaptureLifecycle> lifecycle) {
  while (auto event = co_await events.next()) co_await lifecycle->handle(*event);
}

void AppModel::handlePowerEvent(HostPowerEvent event) { powerEvents_.yield(event); }

asio::awaitable<void> AppModel::wakeDisplay(std::weak_ptr<AppModel> weak, Strand main, bool displayWasAsleep) {
  // From the session's strand: the lifecycle is the main strand's.
  co_await runOn(main, wakeDisplayOnMain(std::move(weak), displayWasAsleep));
}

asio::awaitable<void> AppModel::wakeDisplayOnMain(std::weak_ptr<AppModel> weak, bool displayWasAsleep) {
  std::shared_ptr<CaptureLifecycle> lifecycle;
  if (auto self = weak.lock()) lifecycle = self->lifecycle_;
  if (lifecycle) co_await lifecycle->wakeDisplay(displayWasAsleep);
}

asio::awaitable<void> AppModel::retrySecurity(std::weak_ptr<AppModel> weak, std::shared_ptr<Clock> clock,
                                              double delay) {
  co_await clock->sleep(Clock::seconds(delay));
  auto self = weak.lock();
  if (!self || self->stopping_ || self->security_) co_return;
  self->bootstrapSecurity();
}

void AppModel::startLoopbackAccepting() {
  if (std::exchange(loopbackAccepting_, true)) return;  // once, however often the identity is tried
  if (loopback_) keep(Task::spawn(main_, acceptConnections(weak_from_this(), loopback_, false)));
}

asio::awaitable<void> AppModel::acceptConnections(std::weak_ptr<AppModel> weak, std::shared_ptr<HostListener> listener,
                                                  bool authenticate) {
  AsyncStream<std::shared_ptr<Connection>> incoming = listener->connections();
  while (auto connection = co_await incoming.next()) {
    auto self = weak.lock();
    if (!self) co_return;
    self->acceptConnection(std::move(*connection), authenticate);
  }
}

void AppModel::acceptConnection(std::shared_ptr<Connection> connection, bool authenticate) {
  transportLog().info("connection accepted");
  if (!encoders_ || (authenticate && !security_)) {
    connection->close();
    return;
  }
  UUID id = UUID::random();
  std::weak_ptr<AppModel> weak = weak_from_this();
  Strand main = main_;
  std::shared_ptr<HostAuthGating> gate;
  if (authenticate) {
    gate = services_.makeGate(connection, security_->service, gateTimeouts, [weak, main, id](const UUID& deviceID) {
      asio::post(main, [weak, id, deviceID] {
        if (auto self = weak.lock()) self->activateSession(id, deviceID);
      });
    });
  }

  HostEnvironment env = services_.makeEnvironment(
      encoders_, [weak, main](bool displayWasAsleep) { return wakeDisplay(weak, main, displayWasAsleep); });

  auto session = HostSession::make(executor_, connection, std::move(env), gate, std::nullopt,
                                   [weak, main, id](const SessionStatus& status) {
                                     asio::post(main, [weak, id, status] {
                                       if (auto self = weak.lock()) self->sessionStatusChanged(status, id);
                                     });
                                   });
  candidates_[id] = Candidate{session, connection};
  if (!authenticate) activateSession(id, std::nullopt);
  // The session serves its connection until the connection ends, so that its teardown runs;
  // stop() closes the connections and waits for that.
  sessionTasks_[id] = Task::spawn(main_, runSession(weak, session, id));
}

asio::awaitable<void> AppModel::runSession(std::weak_ptr<AppModel> weak, std::shared_ptr<HostSession> session,
                                           UUID id) {
  try {
    co_await session->start();
  } catch (const asio::system_error& error) {
    if (error.code() == asio::error::operation_aborted) throw;  // the model went
    sessionLog().error("session failed: %s", error.what());
  } catch (const std::exception& error) {
    sessionLog().error("session failed: %s", error.what());
  }
  if (auto self = weak.lock()) self->dropCandidate(id);
}

void AppModel::dropCandidate(const UUID& id) {
  candidates_.erase(id);
  // The run that calls this ends right after: its task is done with.
  sessionTasks_.erase(id);
  if (services_.afterSession) services_.afterSession();
  if (stopping_) sessionEnds_.yield(id);
}

asio::awaitable<void> AppModel::replace(std::shared_ptr<HostSession> session, std::string name) {
  co_await session->replaced(std::move(name));
}

void AppModel::activateSession(const UUID& id, std::optional<UUID> deviceID) {
  auto found = candidates_.find(id);
  if (found == candidates_.end()) return;
  if (session_) {
    if (sessionDeviceID_ && deviceID && *sessionDeviceID_ != *deviceID) {
      std::string name = "Another device";
      if (security_) {
        for (const auto& device : security_->service->store()->allPairedDevices()) {
          if (device.deviceID == *deviceID) {
            name = device.name;
            break;
          }
        }
      }
      keep(Task::spawn(main_, replace(session_, name)));
    } else {
      for (auto& [otherID, other] : candidates_) {
        if (other.session == session_) other.connection->close();
      }
    }
  }
  session_ = found->second.session;
  sessionToken_ = id;
  sessionDeviceID_ = deviceID;
  changed();
  // The newcomer learns what sleep, display sleep and lock made of this computer.
  HostState state = lifecycle_->state();
  keep(Task::spawn(
      main_, tellLifecycle(session_, lifecycle_->locked(), HostStateReport{state, CaptureLifecycle::noteFor(state)})));
}

asio::awaitable<void> AppModel::tellLifecycle(std::shared_ptr<HostSession> session, bool locked,
                                              HostStateReport report) {
  if (locked) {
    std::optional<std::string> note = CaptureLifecycle::noteFor(HostState::locked);
    co_await session->hostNote(std::move(note));
  }
  co_await session->setLifecycleState(std::move(report));
}

asio::awaitable<void> AppModel::suspendCapture(std::string reason) {
  if (std::shared_ptr<HostSession> session = session_) co_await session->captureSuspended(std::move(reason));
}

asio::awaitable<void> AppModel::resumeCapture() {
  if (std::shared_ptr<HostSession> session = session_) co_await session->resumeCapture(true);
}

asio::awaitable<void> AppModel::hostNote(std::optional<std::string> note) {
  if (std::shared_ptr<HostSession> session = session_) co_await session->hostNote(std::move(note));
}

asio::awaitable<void> AppModel::publish(HostState state, std::optional<std::string> note) {
  std::shared_ptr<HostSession> session = session_;
  if (!session) co_return;
  HostStateReport report{state, std::move(note)};
  co_await session->setLifecycleState(std::move(report));
}

void AppModel::sessionStatusChanged(const SessionStatus& status, const UUID& token) {
  if (!(token == sessionToken_)) return;
  status_ = status;
  if (status.phase == SessionStatus::Phase::ended) session_.reset();
  changed();
}

void AppModel::answerPairing(bool accepted, const UUID& id) {
  prompter_->resolve(accepted, id);
  if (closeConfirmation) closeConfirmation();
}

void AppModel::declinePairingOnClose(const UUID& id) { prompter_->resolve(false, id); }

void AppModel::closeSessionConnection() {
  if (!session_) return;
  // Closing ends the session through its normal end of stream; no message is sent.
  session_->connection()->close();
}

void AppModel::setKeepDisplayAwake(bool value) {
  if (services_.storeKeepDisplayAwake) services_.storeKeepDisplayAwake(value);
  if (keepDisplayAwake_ != value) {
    keepDisplayAwake_ = value;
    changed();
  }
  if (session_) {
    keep(Task::spawn(main_, [](std::shared_ptr<HostSession> s, bool v) -> asio::awaitable<void> {
      co_await s->setKeepAwake(v);
    }(session_, value)));
  }
}

void AppModel::setLaunchAtLogin(bool value) {
  bool enabled = false;
  if (services_.loginItem) {
    try {
      if (value) {
        services_.loginItem->registerItem();
      } else {
        services_.loginItem->unregisterItem();
      }
    } catch (const std::exception& error) {
      transportLog().error("Nolu: launch at login failed: %s", error.what());
    }
    enabled = services_.loginItem->isEnabled();
  }
  if (enabled != launchAtLogin_) {
    launchAtLogin_ = enabled;
    changed();
  }
}

}  // namespace brindlet::host

namespace brindlet::host {

void AppModel::startRemoteAccess(const SelfSignedIdentity& identity) {
  auto& relay = services_.relay;
  if (!relay) return;
  try {
    relay->setSigner(makeSecKeyRelaySigner(identity));
  } catch (const std::exception&) {
    // Without a signer remote access stays idle; local pairing and sessions are unaffected.
  }
  relay->reconcile();
}

void AppModel::refreshSessionRelayConfig() {
  if (!session_) return;
  keep(Task::spawn(main_, resendRelayConfig(session_)));
}

asio::awaitable<void> AppModel::resendRelayConfig(std::shared_ptr<HostSession> session) {
  co_await session->sendRelayConfig();
}

void AppModel::removeDevice(const PairedDevice& device) {
  if (!security_) return;
  keep(Task::spawn(main_, forgetDevice(security_->service, device.deviceID)));
  // The settings report the change of their deny list to the relay controller, which hands the
  // keys denied in the last 31 days to its running service.
  if (services_.relay) services_.relay->settings()->deny(device.publicKey, services_.clock->wallNow());
  const auto before = pairedDevices_.size();
  std::erase_if(pairedDevices_, [&](const PairedDevice& d) { return d.deviceID == device.deviceID; });
  if (pairedDevices_.size() != before) changed();
}

asio::awaitable<void> AppModel::forgetDevice(std::shared_ptr<HostPairingService> service, UUID deviceID) {
  co_await service->forgetDevice(deviceID);
}

void AppModel::setInviteQuestions(std::function<asio::awaitable<bool>(std::string)> confirm,
                                  std::function<void(std::string)> informAlreadyJoined) {
  services_.confirmInvite = std::move(confirm);
  services_.informAlreadyJoined = std::move(informAlreadyJoined);
}

void AppModel::handleOpenURL(const std::string& url) {
  auto code = parseInviteURL(url);
  if (!code || !services_.relay) return;
  keep(Task::spawn(main_, offerInvite(weak_from_this(), *code)));
}

asio::awaitable<void> AppModel::offerInvite(std::weak_ptr<AppModel> weak, std::string code) {
  std::function<asio::awaitable<bool>(std::string)> confirm;
  {
    auto self = weak.lock();
    if (!self) co_return;
    auto relay = self->services_.relay;
    if (relay->accountLabel()) {
      if (self->services_.informAlreadyJoined) self->services_.informAlreadyJoined(*relay->accountLabel());
      co_return;
    }
    relay->setInviteDraft(InviteCode::display(code));
    confirm = self->services_.confirmInvite;
  }
  bool join = false;
  if (confirm) join = co_await confirm(code);
  auto self = weak.lock();
  if (!self) co_return;
  if (join) {
    self->services_.relay->join(code);
  } else {
    self->services_.relay->setInviteDraft("");
  }
}

}  // namespace brindlet::host
