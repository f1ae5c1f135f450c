#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "kit/support/AsyncStream.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/support/Task.h"
#include "kit/transport/HostBrowser.h"
#include "kit/transport/QUICConnection.h"
#include "platform/dnssd/DNSSDBrowser.h"
#include "platform/net/NetworkPath.h"

namespace brindlet {

// Where a host listens: a host name or numeric address, and a UDP port.
struct HostEndpoint {
  std::string host;
  std::uint16_t port = 0;

  bool operator==(const HostEndpoint&) const = default;
};

// Tells a real change of the network path from a repeated report: the first report after
// the monitor starts only records; later ones count when the status or the set of interface
// types differs (which interfaces of a type does not matter).
struct PathChangeDetector {
  struct Signature {
    bool satisfied = false;
    std::set<std::string> interfaceTypes;

    bool operator==(const Signature&) const = default;
    static Signature of(const platform::NetworkPath& path);
  };

  std::optional<Signature> last;

  // Records `signature`; true when it is a change from the one before.
  bool update(Signature signature);
};

// A running platform operation (a DNS-SD browser, a path monitor) the host browser can end.
class PlatformActivity {
 public:
  virtual ~PlatformActivity() = default;
  virtual void cancel() = 0;
};

// What the host browser stands on. system() gives the Avahi browser, the rtnetlink path
// monitor and the system clock; tests give doubles and a manual clock.
struct HostBrowserPlatform {
  using ResultsHandler = std::function<void(std::vector<platform::DNSSDBrowseResult>)>;
  using PathHandler = std::function<void(platform::NetworkPath)>;

  std::shared_ptr<Clock> clock;
  // Browses for `type`; every call of the handler (on the strand) is the complete result set.
  std::function<std::shared_ptr<PlatformActivity>(const Strand&, const std::string& type, ResultsHandler)> browse;
  // Reports the network path on the strand: at once, then on every change.
  std::function<std::shared_ptr<PlatformActivity>(const Strand&, PathHandler)> monitorPath;

  static HostBrowserPlatform system();
};

// Finds hosts advertised as "_nolu._udp" services, keeps their list sorted by name (then
// id), and starts browsing afresh 0.5 s after a real change of the network path.
class QUICHostBrowser final : public HostBrowser, public std::enable_shared_from_this<QUICHostBrowser> {
 public:
  static std::shared_ptr<QUICHostBrowser> create(asio::io_context& context,
                                                 QUICConfiguration configuration = QUICConfiguration(),
                                                 HostBrowserPlatform platform = HostBrowserPlatform::system());
  ~QUICHostBrowser() override;

  void start() override;
  AsyncStream<std::vector<DiscoveredHost>> hosts() const override { return hosts_; }
  asio::awaitable<std::shared_ptr<Connection>> connect(DiscoveredHost host, ServerTrust trust) override;
  void stop() override;

  // Connects to an endpoint with this browser's configuration.
  asio::awaitable<std::shared_ptr<Connection>> connect(HostEndpoint endpoint, ServerTrust trust);

  static constexpr std::chrono::milliseconds restartDelay{500};

 private:
  QUICHostBrowser(asio::io_context& context, QUICConfiguration configuration, HostBrowserPlatform platform);

  void startBrowsing();
  void startMonitor();
  void onResults(std::uint64_t generation, const std::vector<platform::DNSSDBrowseResult>& results);
  void onPath(std::uint64_t generation, const platform::NetworkPath& path);
  // Makes `activity` the current one unless a later start or stop() came first; cancels
  // whichever is left over.
  void install(std::shared_ptr<PlatformActivity>& current, const std::uint64_t& latest, std::uint64_t generation,
               std::shared_ptr<PlatformActivity> activity);
  void scheduleRestart();
  void restart();
  static asio::awaitable<void> restartLater(std::weak_ptr<QUICHostBrowser> weak, std::shared_ptr<Clock> clock);

  asio::io_context& context_;
  AsyncStream<std::vector<DiscoveredHost>> hosts_;
  const QUICConfiguration configuration_;
  const HostBrowserPlatform platform_;
  const Strand queue_;  // runs the browser's, monitor's and restart handlers

  std::mutex lock_;
  std::shared_ptr<PlatformActivity> browser_;
  std::uint64_t browserGeneration_ = 0;
  std::map<std::string, HostEndpoint> endpoints_;
  std::shared_ptr<PlatformActivity> monitor_;
  std::uint64_t monitorGeneration_ = 0;
  PathChangeDetector detector_;
  std::optional<Task> restartWork_;
  bool stopped_ = false;
};

// Connects to a host and port (a name or numeric address), checking the host's certificate
// as `trust` says, with `clock` timing the connection; returns the connection once it is ready. Fails with QUICError
// "bad port" for port 0, and with the connection's readiness error otherwise (the connection is closed). Cancelling the
// awaiting task closes the connection and fails the call.
asio::awaitable<std::shared_ptr<QUICConnection>> connectQUIC(asio::io_context& context, std::string host,
                                                             std::uint16_t port, ServerTrust trust,
                                                             QUICConfiguration configuration,
                                                             std::shared_ptr<Clock> clock);
// The same towards a resolved UDP endpoint.
asio::awaitable<std::shared_ptr<QUICConnection>> connectQUIC(asio::io_context& context,
                                                             asio::ip::udp::endpoint endpoint, ServerTrust trust,
                                                             QUICConfiguration configuration,
                                                             std::shared_ptr<Clock> clock);

}  // namespace brindlet
