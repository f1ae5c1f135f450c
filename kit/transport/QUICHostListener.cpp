#include "kit/transport/QUICHostListener.h"

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/system_error.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <limits>

#include "kit/transport/QUICConfiguration.h"
#include "kit/transport/QUICConnection.h"
#include "kit/transport/QUICError.h"
#include "platform/log/Log.h"

namespace brindlet {
namespace {

const platform::Logger& log() {
  static const platform::Logger logger("io.tavix.nolu.transport", "listener");
  return logger;
}

constexpr const char* kServiceType = "_nolu._udp";

}  // namespace

std::shared_ptr<QUICHostListener> QUICHostListener::create(asio::io_context& context, std::string hostName,
                                                           std::optional<UUID> hostID,
                                                           std::shared_ptr<SelfSignedIdentity> identity,
                                                           std::optional<std::uint16_t> port, bool advertise,
                                                           QUICConfiguration configuration,
                                                           std::shared_ptr<Clock> clock) {
  return std::shared_ptr<QUICHostListener>(new QUICHostListener(context, std::move(hostName), hostID,
                                                                std::move(identity), port, advertise,
                                                                std::move(configuration), std::move(clock)));
}

QUICHostListener::QUICHostListener(asio::io_context& context, std::string hostName, std::optional<UUID> hostID,
                                   std::shared_ptr<SelfSignedIdentity> identity, std::optional<std::uint16_t> port,
                                   bool advertise, QUICConfiguration configuration, std::shared_ptr<Clock> clock)
    : context_(context),
      hostName_(std::move(hostName)),
      hostID_(hostID),
      advertise_(advertise),
      requestedPort_(port),
      configuration_(std::move(configuration)),
      clock_(std::move(clock)),
      identity_(identity ? std::move(identity) : makeEphemeralIdentity(hostName_)),
      queue_(makeStrand(context.get_executor())) {
  certificateFingerprint_ = identity_->fingerprint;
}

QUICHostListener::~QUICHostListener() { stop(); }

void QUICHostListener::start() {
  platform::QUICParameters parameters = makeQUICParameters(identity_, nullptr, configuration_, context_.get_executor());
  std::shared_ptr<platform::QUICListener> listener = platform::QUICListener::make(context_, std::move(parameters));
  std::weak_ptr<QUICHostListener> weak = weak_from_this();
  listener->setNewGroupHandler([weak](std::shared_ptr<platform::QUICGroup> group) {
    if (auto self = weak.lock()) self->onGroup(std::move(group));
  });
  {
    std::lock_guard lock(lock_);
    listener_ = listener;
  }
  // Binding on the listener's queue plays the platform's state report: ready with the port,
  // or failed with the reason.
  const std::uint16_t port = requestedPort_.value_or(0);
  asio::post(queue_, [weak, listener, port] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->lock_);
      if (self->listener_ != listener) return;  // stopped meanwhile
    }
    std::error_code error = listener->listen(asio::ip::udp::endpoint(asio::ip::udp::v4(), port));
    if (error) {
      self->onFailed(error);
    } else {
      self->onReady(listener->port());
    }
  });
}

void QUICHostListener::onReady(std::uint16_t port) {
  log().info("listener ready port=%hu advertise=%s", port, advertise_ ? "true" : "false");
  std::vector<PortWaiter> waiters;
  {
    std::lock_guard lock(lock_);
    boundPort_ = port;
    waiters = std::move(portWaiters_);
    portWaiters_.clear();
  }
  if (advertise_) advertise(port);
  resumeWaiters(std::move(waiters), port);
}

void QUICHostListener::advertise(std::uint16_t port) {
  std::unique_ptr<platform::DNSSDRegistration> registration;
  std::uint64_t id = 0;
  {
    std::lock_guard lock(lock_);
    if (stopped_) return;
    id = ++registrationID_;
    platform::DNSSDService service{hostName_, kServiceType, "", port, {}};
    if (hostID_) service.txt.set("id", hostID_->uuidString());
    std::weak_ptr<QUICHostListener> weak = weak_from_this();
    registration = std::make_unique<platform::DNSSDRegistration>(
        queue_, std::move(service), [weak, id, port](const platform::DNSSDRegistrationEvent& event) {
          auto self = weak.lock();
          if (!self) return;
          if (event.kind == platform::DNSSDRegistrationEvent::Kind::registered) {
            {
              std::lock_guard lock(self->lock_);
              if (self->stopped_ || id != self->registrationID_) return;
              self->advertisedName_ = event.name;
              self->advertisementFailures_ = 0;
            }
            log().info("listener advertising on UDP %hu as \"%s\"", port, event.name.c_str());
          } else {
            // Not from inside the registration's own handler: the failure withdraws it.
            asio::post(self->queue_, [weak, id, port, error = event.error] {
              if (auto listener = weak.lock()) listener->advertisementFailed(id, port, error);
            });
          }
        });
  }
  std::string failure;
  try {
    registration->start();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  std::unique_ptr<platform::DNSSDRegistration> late;
  {
    std::lock_guard lock(lock_);
    if (stopped_ || !failure.empty()) {
      late = std::move(registration);  // stopped while it started, or never started: withdrawn
    } else {
      registration_ = std::move(registration);
    }
  }
  late.reset();
  if (!failure.empty()) advertisementFailed(id, port, failure);
}

void QUICHostListener::advertisementFailed(std::uint64_t registration, std::uint16_t port, const std::string& error) {
  std::unique_ptr<platform::DNSSDRegistration> failed;
  double delay = 0;
  std::int64_t attempt = 0;
  {
    std::lock_guard lock(lock_);
    if (stopped_ || registration != registrationID_) return;  // stopped, or reported already
    ++registrationID_;                                        // what the failed registration still says is stale
    failed = std::move(registration_);
    advertisedName_.clear();
    delay = 1;
    for (std::int64_t k = 0; k < advertisementFailures_ && delay < 30; ++k) delay *= 2;
    delay = std::min(delay, 30.0);
    if (advertisementFailures_ < std::numeric_limits<std::int64_t>::max()) ++advertisementFailures_;
    attempt = advertisementFailures_;
  }
  failed.reset();  // withdrawn
  log().error(
      "advertisement failed: %s; listening on UDP %hu unadvertised (reachable by address only); retry %ld in %.0fs",
      error.c_str(), port, static_cast<long>(attempt), delay);
  auto retry = [](std::weak_ptr<QUICHostListener> weak, std::shared_ptr<Clock> clock, Clock::Duration wait,
                  std::uint16_t port) -> asio::awaitable<void> {
    co_await clock->sleep(wait);
    if (auto self = weak.lock()) self->advertise(port);
  };
  const auto wait = std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(delay));
  Task task = Task::spawn(queue_, retry(weak_from_this(), clock_, wait, port));
  std::lock_guard lock(lock_);
  if (!stopped_) advertisementRetry_ = std::move(task);  // otherwise dropping it cancels it
}

void QUICHostListener::onFailed(const std::error_code& error) {
  log().error("listener failed: %s", error.message().c_str());
  std::vector<PortWaiter> waiters;
  {
    std::lock_guard lock(lock_);
    startError_ = error;
    waiters = std::move(portWaiters_);
    portWaiters_.clear();
  }
  resumeWaiters(std::move(waiters), PortFailure{PortFailure::Kind::failed, error});
  stop();
}

void QUICHostListener::PortFailure::raise() const {
  switch (kind) {
    case Kind::failed:
      throw std::system_error(error);
    case Kind::stopped:
      throw QUICError::failed("stopped");
    case Kind::cancelled:
      break;
  }
  throw asio::system_error(asio::error::operation_aborted);
}

void QUICHostListener::resumeWaiters(std::vector<PortWaiter> waiters, const PortResult& result) {
  for (auto& waiter : waiters) {
    if (waiter.parked) waiter.parked.resume(result);
  }
}

// Ends one parked waitUntilReady() whose task was cancelled.
struct QUICHostListener::CancelPortWait {
  CancelPortWait(std::weak_ptr<QUICHostListener> l, std::uint64_t i) : listener(std::move(l)), id(i) {}
  void operator()(asio::cancellation_type) const {
    if (auto self = listener.lock()) self->cancelWaiter(id);
  }
  std::weak_ptr<QUICHostListener> listener;
  std::uint64_t id;
};

void QUICHostListener::cancelWaiter(std::uint64_t id) {
  std::vector<PortWaiter> taken;
  {
    std::lock_guard lock(lock_);
    for (auto it = portWaiters_.begin(); it != portWaiters_.end(); ++it) {
      if (it->id == id) {
        taken.push_back(std::move(*it));
        portWaiters_.erase(it);
        break;
      }
    }
  }
  resumeWaiters(std::move(taken), PortFailure{PortFailure::Kind::cancelled, {}});
}

asio::awaitable<std::uint16_t> QUICHostListener::waitUntilReady() {
  std::shared_ptr<QUICHostListener> self = shared_from_this();
  // (The initiation is a statement of its own: g++ 12 destroys a temporary lambda inside a
  // co_await expression twice.)
  auto initiation = [self](auto handler) {
    detail::Parked<PortResult> waiter(std::move(handler));
    PortResult now;
    {
      std::lock_guard lock(self->lock_);
      if (self->boundPort_) {
        now = *self->boundPort_;
      } else if (self->startError_) {
        now = PortFailure{PortFailure::Kind::failed, *self->startError_};
      } else if (self->stopped_) {
        // Stopped before it was ready or failed: no event will ever answer.
        now = PortFailure{PortFailure::Kind::stopped, {}};
      } else {
        auto slot = waiter.cancellationSlot();
        const std::uint64_t id = ++self->lastWaiterID_;
        self->portWaiters_.push_back({id, std::move(waiter)});
        if (slot.is_connected()) slot.template emplace<CancelPortWait>(std::weak_ptr<QUICHostListener>(self), id);
        return;
      }
    }
    waiter.resume(std::move(now));
  };
  PortResult result =
      co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(PortResult)>(initiation, asio::use_awaitable);
  if (const auto* failure = std::get_if<PortFailure>(&result)) failure->raise();
  co_return std::get<std::uint16_t>(result);
}

void QUICHostListener::onGroup(std::shared_ptr<platform::QUICGroup> group) {
  auto connection = QUICConnection::makeHost(std::move(group), configuration_, clock_);
  connection->start();
  // The connection's own handshake and stream timers bound this wait.
  Task admission = Task::spawn(makeStrand(context_.get_executor()), awaitConnection(weak_from_this(), connection));
  std::lock_guard lock(lock_);
  if (stopped_) return;  // dropping the task cancels it and the connection is closed
  std::erase_if(admissions_, [](const Task& task) { return !task.isRunning(); });
  admissions_.push_back(std::move(admission));
}

asio::awaitable<void> QUICHostListener::awaitConnection(std::weak_ptr<QUICHostListener> weak,
                                                        std::shared_ptr<QUICConnection> connection) {
  try {
    co_await connection->waitUntilReady();
  } catch (const std::exception&) {
    // A device whose handshake or streams did not come up is never handed out.
    connection->close();
    co_return;
  }
  auto self = weak.lock();
  if (!self) co_return;
  bool stopped;
  {
    std::lock_guard lock(self->lock_);
    stopped = self->stopped_;
  }
  if (stopped) {
    connection->close();
  } else {
    self->connections_.yield(connection);
  }
}

std::string QUICHostListener::advertisedName() const {
  std::lock_guard lock(lock_);
  return advertisedName_;
}

void QUICHostListener::stop() {
  std::shared_ptr<platform::QUICListener> listener;
  std::unique_ptr<platform::DNSSDRegistration> registration;
  std::vector<PortWaiter> waiters;
  std::vector<Task> admissions;
  Task retry;
  {
    std::lock_guard lock(lock_);
    if (!stopped_) {
      stopped_ = true;
      listener = std::move(listener_);
      registration = std::move(registration_);
      waiters = std::move(portWaiters_);
      portWaiters_.clear();
      admissions = std::move(admissions_);
      admissions_.clear();
      retry = std::move(advertisementRetry_);
    }
  }
  if (!waiters.empty()) resumeWaiters(std::move(waiters), PortFailure{PortFailure::Kind::stopped, {}});
  if (registration) registration->withdraw();
  if (listener) listener->cancel();
  connections_.finish();
}

}  // namespace brindlet
