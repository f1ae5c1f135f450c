#include "platform/dnssd/DNSSDBrowser.h"

#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <algorithm>

#include "platform/dnssd/AvahiSession.h"
#include "platform/log/Log.h"

namespace brindlet::platform {
namespace {

TXTRecord readTXT(AvahiStringList* list) {
  // Avahi keeps the list in reverse order of the record: collect, then turn around.
  std::vector<TXTRecord::Entry> entries;
  for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
    char* key = nullptr;
    char* value = nullptr;
    size_t size = 0;
    if (avahi_string_list_get_pair(item, &key, &value, &size) < 0) continue;
    entries.emplace_back(key ? key : "", value ? std::string(value, size) : std::string());
    avahi_free(key);
    avahi_free(value);
  }
  TXTRecord txt;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (!it->first.empty() && !txt.value(it->first)) txt.set(it->first, it->second);
  }
  return txt;
}

}  // namespace

// Everything that touches Avahi.
class DNSSDBrowser::Impl {
 public:
  Impl(const asio::any_io_executor& executor, std::string type, Handler handler);
  ~Impl();
  void start();
  void cancel();

  struct Entry {
    Impl* owner = nullptr;
    DNSSDBrowseResult result;
    AvahiServiceResolver* resolver = nullptr;
    bool reported = false;
  };

  void onClientState(AvahiClient* client, AvahiClientState state);
  static void browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                             AvahiLookupResultFlags flags, void* context);
  static void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
                              AvahiResolverEvent event, const char* name, const char* type, const char* domain,
                              const char* hostName, const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
                              AvahiLookupResultFlags flags, void* context);
  void add(AvahiClient* client, DNSSDServiceInstance instance);
  void remove(const DNSSDServiceInstance& instance);
  void removeAll();
  void report(DNSSDBrowseChange::Kind kind, const DNSSDBrowseResult& result);

  EventGate gate_;
  std::string type_;
  Handler handler_;
  std::unique_ptr<AvahiSession> session_;
  // Touched only on the Avahi thread (or before it starts / after it stopped).
  AvahiServiceBrowser* browser_ = nullptr;
  std::vector<std::unique_ptr<Entry>> entries_;
};

DNSSDBrowser::Impl::Impl(const asio::any_io_executor& executor, std::string type, Handler handler)
    : gate_(executor), type_(std::move(type)), handler_(std::move(handler)) {}

DNSSDBrowser::Impl::~Impl() { cancel(); }

void DNSSDBrowser::Impl::start() {
  if (session_) return;
  session_ = std::make_unique<AvahiSession>(
      [this](AvahiClient* client, AvahiClientState state) { onClientState(client, state); });
  session_->start();
}

void DNSSDBrowser::Impl::cancel() {
  gate_.close();
  session_.reset();  // stops the Avahi thread; the client frees the browser and resolvers
  browser_ = nullptr;
  entries_.clear();
}

void DNSSDBrowser::Impl::onClientState(AvahiClient* client, AvahiClientState state) {
  if (state == AVAHI_CLIENT_S_RUNNING) {
    if (browser_) return;
    browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type_.c_str(), nullptr,
                                         AvahiLookupFlags(0), browseCallback, this);
    if (!browser_) {
      dnssdLog().error("cannot browse for %s: %s", type_.c_str(), avahi_strerror(avahi_client_errno(client)));
    }
  } else if (state == AVAHI_CLIENT_FAILURE) {
    // The browser and resolvers go with the client; so do the services seen through it.
    for (auto& entry : entries_) entry->resolver = nullptr;
    browser_ = nullptr;
    removeAll();
  }
}

void DNSSDBrowser::Impl::browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                                        AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                                        AvahiLookupResultFlags, void* context) {
  auto* self = static_cast<Impl*>(context);
  switch (event) {
    case AVAHI_BROWSER_NEW:
      self->add(avahi_service_browser_get_client(browser),
                {name, type, domain, interface, protocol == AVAHI_PROTO_INET6});
      break;
    case AVAHI_BROWSER_REMOVE:
      self->remove({name, type, domain, interface, protocol == AVAHI_PROTO_INET6});
      break;
    case AVAHI_BROWSER_FAILURE:
      dnssdLog().error("browsing for %s failed: %s", self->type_.c_str(),
                       avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
      break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
      break;
  }
}

void DNSSDBrowser::Impl::add(AvahiClient* client, DNSSDServiceInstance instance) {
  for (const auto& entry : entries_) {
    if (entry->result.service == instance) return;
  }
  entries_.push_back(std::make_unique<Entry>());
  Entry* entry = entries_.back().get();
  entry->owner = this;
  entry->result.service = std::move(instance);
  const auto& service = entry->result.service;
  // The resolver keeps running and reports changes of address, port or TXT record.
  AvahiServiceResolver* resolver = avahi_service_resolver_new(
      client, service.interfaceIndex, service.ipv6 ? AVAHI_PROTO_INET6 : AVAHI_PROTO_INET, service.name.c_str(),
      service.type.c_str(), service.domain.c_str(), AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), resolveCallback, entry);
  if (resolver) {
    entry->resolver = resolver;
    return;
  }
  dnssdLog().error("cannot resolve %s: %s", service.name.c_str(), avahi_strerror(avahi_client_errno(client)));
  entry->reported = true;
  report(DNSSDBrowseChange::Kind::added, entry->result);
}

void DNSSDBrowser::Impl::remove(const DNSSDServiceInstance& instance) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const auto& entry) { return entry->result.service == instance; });
  if (it == entries_.end()) return;
  std::unique_ptr<Entry> entry = std::move(*it);
  entries_.erase(it);
  if (entry->resolver) avahi_service_resolver_free(entry->resolver);
  if (entry->reported) report(DNSSDBrowseChange::Kind::removed, entry->result);
}

void DNSSDBrowser::Impl::removeAll() {
  while (!entries_.empty()) {
    DNSSDServiceInstance instance = entries_.back()->result.service;
    remove(instance);
  }
}

void DNSSDBrowser::Impl::resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                                         AvahiResolverEvent event, const char*, const char*, const char*,
                                         const char* hostName, const AvahiAddress* address, uint16_t port,
                                         AvahiStringList* txt, AvahiLookupResultFlags, void* context) {
  auto* entry = static_cast<Entry*>(context);
  entry->resolver = resolver;
  if (event != AVAHI_RESOLVER_FOUND) {
    // A service that never resolved is still listed; one that did keeps its last answer.
    if (entry->reported) return;
    entry->reported = true;
    entry->owner->report(DNSSDBrowseChange::Kind::added, entry->result);
    return;
  }
  DNSSDBrowseResult next{entry->result.service, true, hostName ? hostName : "", {}, port, readTXT(txt)};
  char text[AVAHI_ADDRESS_STR_MAX] = {};
  if (address) avahi_address_snprint(text, sizeof text, address);
  next.address = text;
  if (entry->reported && next == entry->result) return;
  const auto kind = entry->reported ? DNSSDBrowseChange::Kind::changed : DNSSDBrowseChange::Kind::added;
  entry->result = std::move(next);
  entry->reported = true;
  entry->owner->report(kind, entry->result);
}

void DNSSDBrowser::Impl::report(DNSSDBrowseChange::Kind kind, const DNSSDBrowseResult& result) {
  std::vector<DNSSDBrowseResult> results;
  for (const auto& entry : entries_) {
    if (entry->reported) results.push_back(entry->result);
  }
  gate_.post([this, results = std::move(results), change = DNSSDBrowseChange{kind, result}] {
    if (handler_) handler_(results, change);
  });
}

DNSSDBrowser::DNSSDBrowser(const asio::any_io_executor& executor, std::string type, Handler handler)
    : impl_(std::make_unique<Impl>(executor, std::move(type), std::move(handler))) {}

DNSSDBrowser::~DNSSDBrowser() = default;

void DNSSDBrowser::start() { impl_->start(); }

void DNSSDBrowser::cancel() { impl_->cancel(); }

}  // namespace brindlet::platform
