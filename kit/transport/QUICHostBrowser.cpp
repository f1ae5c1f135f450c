#include "kit/transport/QUICHostBrowser.h"

#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>

#include "kit/support/SystemClock.h"
#include "kit/support/detail/Parked.h"
#include "kit/transport/QUICError.h"
#include "platform/dnssd/DNSSDBrowser.h"
#include "platform/dnssd/DNSSDError.h"
#include "platform/net/NetworkPathMonitor.h"

namespace brindlet {
namespace {

constexpr const char* kServiceType = "_nolu._udp";

template <class Platform>
class Running final : public PlatformActivity {
 public:
  explicit Running(std::unique_ptr<Platform> object) : object_(std::move(object)) {}
  void cancel() override { object_->cancel(); }

 private:
  std::unique_ptr<Platform> object_;
};

// Closes a connection whose connecting task was cancelled.
struct CloseOnCancel {
  explicit CloseOnCancel(std::shared_ptr<QUICConnection> c) : connection(std::move(c)) {}
  void operator()(asio::cancellation_type) const {
    if (auto c = connection.lock()) c->close();
  }
  std::weak_ptr<QUICConnection> connection;
};

}  // namespace

PathChangeDetector::Signature PathChangeDetector::Signature::of(const platform::NetworkPath& path) {
  Signature signature;
  signature.satisfied = path.satisfied;
  for (const auto& interface : path.availableInterfaces) {
    signature.interfaceTypes.insert(platform::interfaceTypeName(interface.type));
  }
  return signature;
}

bool PathChangeDetector::update(Signature signature) {
  if (!last) {
    last = std::move(signature);
    return false;
  }
  const bool changed = !(*last == signature);
  last = std::move(signature);
  return changed;
}

HostBrowserPlatform HostBrowserPlatform::system() {
  HostBrowserPlatform platform;
  platform.clock = SystemClock::shared();
  platform.browse = [](const Strand& strand, const std::string& type,
                       ResultsHandler handler) -> std::shared_ptr<PlatformActivity> {
    auto browser = std::make_unique<platform::DNSSDBrowser>(
        strand, type,
        [handler](const std::vector<platform::DNSSDBrowseResult>& results, const auto&) { handler(results); });
    browser->start();
    return std::make_shared<Running<platform::DNSSDBrowser>>(std::move(browser));
  };
  platform.monitorPath = [](const Strand& strand, PathHandler handler) -> std::shared_ptr<PlatformActivity> {
    auto monitor = std::make_unique<platform::NetworkPathMonitor>(
        strand, [handler](const platform::NetworkPath& path) { handler(path); });
    monitor->start();
    return std::make_shared<Running<platform::NetworkPathMonitor>>(std::move(monitor));
  };
  return platform;
}

std::shared_ptr<QUICHostBrowser> QUICHostBrowser::create(asio::io_context& context, QUICConfiguration configuration,
                                                         HostBrowserPlatform platform) {
  return std::shared_ptr<QUICHostBrowser>(new QUICHostBrowser(context, std::move(configuration), std::move(platform)));
}

QUICHostBrowser::QUICHostBrowser(asio::io_context& context, QUICConfiguration configuration,
                                 HostBrowserPlatform platform)
    : context_(context),
      configuration_(std::move(configuration)),
      platform_(std::move(platform)),
      queue_(makeStrand(context.get_executor())) {}

QUICHostBrowser::~QUICHostBrowser() { stop(); }

void QUICHostBrowser::start() {
  {
    std::lock_guard lock(lock_);
    stopped_ = false;
  }
  startBrowsing();
  startMonitor();
}

void QUICHostBrowser::startBrowsing() {
  std::uint64_t generation;
  {
    std::lock_guard lock(lock_);
    generation = ++browserGeneration_;
  }
  std::weak_ptr<QUICHostBrowser> weak = weak_from_this();
  std::shared_ptr<PlatformActivity> browser;
  try {
    browser =
        platform_.browse(queue_, kServiceType, [weak, generation](std::vector<platform::DNSSDBrowseResult> results) {
          if (auto self = weak.lock()) self->onResults(generation, results);
        });
  } catch (const std::exception&) {
    // No DNS-SD service to browse with: the list stays as it is until the next restart.
  }
  install(browser_, browserGeneration_, generation, std::move(browser));
}

void QUICHostBrowser::onResults(std::uint64_t generation, const std::vector<platform::DNSSDBrowseResult>& results) {
  std::vector<DiscoveredHost> list;
  std::map<std::string, HostEndpoint> endpoints;
  {
    std::lock_guard lock(lock_);
    if (generation != browserGeneration_ || !browser_) return;  // a browser already replaced
  }
  for (const auto& result : results) {
    if (!result.resolved) continue;  // nowhere to connect to yet
    const auto& service = result.service;
    std::optional<UUID> hostID;
    if (auto text = result.txt.value("id")) hostID = UUID::parse(*text);
    std::string id = service.name + "." + service.type + "." + service.domain;
    if (endpoints.count(id)) continue;  // the same service seen on another interface
    endpoints[id] = HostEndpoint{result.address, result.port};
    list.push_back(DiscoveredHost{std::move(id), service.name, hostID, false});
  }
  std::sort(list.begin(), list.end(), [](const DiscoveredHost& a, const DiscoveredHost& b) {
    return a.name != b.name ? a.name < b.name : a.id < b.id;
  });
  {
    std::lock_guard lock(lock_);
    if (generation != browserGeneration_ || !browser_) return;
    endpoints_ = std::move(endpoints);
  }
  hosts_.yield(std::move(list));
}

void QUICHostBrowser::startMonitor() {
  std::uint64_t generation;
  {
    std::lock_guard lock(lock_);
    generation = ++monitorGeneration_;
    detector_ = PathChangeDetector();
  }
  std::weak_ptr<QUICHostBrowser> weak = weak_from_this();
  std::shared_ptr<PlatformActivity> monitor;
  try {
    monitor = platform_.monitorPath(queue_, [weak, generation](platform::NetworkPath path) {
      if (auto self = weak.lock()) self->onPath(generation, path);
    });
  } catch (const std::exception&) {
    // Without a path monitor browsing goes on, it just never restarts by itself.
  }
  install(monitor_, monitorGeneration_, generation, std::move(monitor));
}

void QUICHostBrowser::install(std::shared_ptr<PlatformActivity>& current, const std::uint64_t& latest,
                              std::uint64_t generation, std::shared_ptr<PlatformActivity> activity) {
  std::shared_ptr<PlatformActivity> previous;
  {
    std::lock_guard lock(lock_);
    if (generation == latest && !stopped_) {
      previous = std::exchange(current, std::move(activity));
    } else {
      previous = std::move(activity);  // replaced meanwhile by a later start, or stopped
    }
  }
  if (previous) previous->cancel();
}

void QUICHostBrowser::onPath(std::uint64_t generation, const platform::NetworkPath& path) {
  bool changed;
  {
    std::lock_guard lock(lock_);
    if (generation != monitorGeneration_ || !monitor_) return;
    changed = detector_.update(PathChangeDetector::Signature::of(path));
  }
  if (changed) scheduleRestart();
}

void QUICHostBrowser::scheduleRestart() {
  Task work = Task::spawn(queue_, restartLater(weak_from_this(), platform_.clock));
  std::optional<Task> previous;
  {
    std::lock_guard lock(lock_);
    if (stopped_) return;  // `work` is cancelled as it goes out of scope
    previous = std::exchange(restartWork_, std::move(work));
  }
  // `previous` cancels its pending restart as it goes out of scope, outside the lock.
}

asio::awaitable<void> QUICHostBrowser::restartLater(std::weak_ptr<QUICHostBrowser> weak, std::shared_ptr<Clock> clock) {
  co_await clock->sleep(restartDelay);
  if (auto self = weak.lock()) self->restart();
}

void QUICHostBrowser::restart() {
  {
    std::lock_guard lock(lock_);
    if (stopped_) return;
    endpoints_.clear();
  }
  hosts_.yield({});
  startBrowsing();
}

void QUICHostBrowser::stop() {
  std::shared_ptr<PlatformActivity> browser, monitor;
  std::optional<Task> work;
  {
    std::lock_guard lock(lock_);
    browser = std::move(browser_);
    monitor = std::move(monitor_);
    work = std::move(restartWork_);
    browser_.reset();
    monitor_.reset();
    restartWork_.reset();
    stopped_ = true;
  }
  if (work) work->cancel();
  if (monitor) monitor->cancel();
  if (browser) browser->cancel();
  hosts_.finish();
}

asio::awaitable<std::shared_ptr<Connection>> QUICHostBrowser::connect(DiscoveredHost host, ServerTrust trust) {
  std::optional<HostEndpoint> endpoint;
  {
    std::lock_guard lock(lock_);
    if (auto it = endpoints_.find(host.id); it != endpoints_.end()) endpoint = it->second;
  }
  if (!endpoint) throw QUICError::failed("unknown host " + host.name);
  co_return co_await connect(std::move(*endpoint), std::move(trust));
}

asio::awaitable<std::shared_ptr<Connection>> QUICHostBrowser::connect(HostEndpoint endpoint, ServerTrust trust) {
  co_return co_await connectQUIC(context_, std::move(endpoint.host), endpoint.port, std::move(trust), configuration_,
                                 platform_.clock);
}

asio::awaitable<std::shared_ptr<QUICConnection>> connectQUIC(asio::io_context& context, std::string host,
                                                             std::uint16_t port, ServerTrust trust,
                                                             QUICConfiguration configuration,
                                                             std::shared_ptr<Clock> clock) {
  if (port == 0) throw QUICError::failed("bad port");
  std::error_code error;
  asio::ip::address address = asio::ip::make_address(host, error);
  if (error) {
    // A host name: take its first address.
    asio::ip::udp::resolver resolver(context);
    auto results = co_await resolver.async_resolve(host, std::to_string(port), asio::use_awaitable);
    if (results.empty()) throw QUICError::failed("cannot resolve " + host);
    address = results.begin()->endpoint().address();
  }
  co_return co_await connectQUIC(context, asio::ip::udp::endpoint(address, port), std::move(trust),
                                 std::move(configuration), std::move(clock));
}

asio::awaitable<std::shared_ptr<QUICConnection>> connectQUIC(asio::io_context& context,
                                                             asio::ip::udp::endpoint endpoint, ServerTrust trust,
                                                             QUICConfiguration configuration,
                                                             std::shared_ptr<Clock> clock) {
  auto connection = QUICConnection::makeClient(context, endpoint, trust, std::move(configuration), std::move(clock));
  connection->start();
  // Waits for readiness; cancelling the waiting task closes the connection, which ends the
  // wait with the connection's "closed".
  struct Outcome {
    std::exception_ptr error;  // (a bare exception_ptr would be taken for the operation's own error)
  };
  // (A statement of its own: g++ 12 destroys a temporary lambda inside co_await twice.)
  auto initiation = [connection, &context](auto handler) {
    auto waiter = std::make_shared<detail::Parked<Outcome>>(std::move(handler));
    auto slot = waiter->cancellationSlot();
    if (slot.is_connected()) {
      slot.template emplace<CloseOnCancel>(connection);
    }
    asio::co_spawn(makeStrand(context.get_executor()), connection->waitUntilReady(),
                   [waiter](std::exception_ptr error) { waiter->resume(Outcome{error}); });
  };
  Outcome outcome =
      co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(Outcome)>(initiation, asio::use_awaitable);
  if (outcome.error) {
    connection->close();
    std::rethrow_exception(outcome.error);
  }
  co_return connection;
}

}  // namespace brindlet
