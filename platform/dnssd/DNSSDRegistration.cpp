#include "platform/dnssd/DNSSDRegistration.h"

#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <mutex>

#include "platform/dnssd/AvahiSession.h"
#include "platform/dnssd/DNSSDError.h"
#include "platform/log/Log.h"

namespace brindlet::platform {
namespace {

AvahiStringList* makeStringList(const TXTRecord& txt) {
  AvahiStringList* list = nullptr;
  // avahi_string_list_add_pair prepends: add in reverse to keep the record's order.
  const auto& entries = txt.entries();
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    list = avahi_string_list_add_pair_arbitrary(list, it->first.c_str(),
                                                reinterpret_cast<const uint8_t*>(it->second.data()), it->second.size());
  }
  return list;
}

}  // namespace

// Everything that touches Avahi.
class DNSSDRegistration::Impl {
 public:
  Impl(const asio::any_io_executor& executor, DNSSDService service, Handler handler);
  ~Impl();
  void start();
  void withdraw();
  std::string name() const;

  void onClientState(AvahiClient* client, AvahiClientState state);
  static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context);
  void publish(AvahiClient* client);
  void rename();
  void report(DNSSDRegistrationEvent event);

  EventGate gate_;
  Handler handler_;
  DNSSDService service_;  // the name changes after a collision (guarded by nameLock_)
  mutable std::mutex nameLock_;
  std::unique_ptr<AvahiSession> session_;
  AvahiEntryGroup* group_ = nullptr;  // touched on the Avahi thread or under its lock
};

DNSSDRegistration::Impl::Impl(const asio::any_io_executor& executor, DNSSDService service, Handler handler)
    : gate_(executor), handler_(std::move(handler)), service_(std::move(service)) {}

DNSSDRegistration::Impl::~Impl() { withdraw(); }

void DNSSDRegistration::Impl::start() {
  if (session_) return;
  session_ = std::make_unique<AvahiSession>(
      [this](AvahiClient* client, AvahiClientState state) { onClientState(client, state); });
  session_->start();
}

void DNSSDRegistration::Impl::withdraw() {
  gate_.close();
  // Freeing the session stops its thread and frees the client, which takes the entry group
  // (and with it the published records) away.
  session_.reset();
  group_ = nullptr;
}

std::string DNSSDRegistration::Impl::name() const {
  std::lock_guard lock(nameLock_);
  return service_.name;
}

void DNSSDRegistration::Impl::report(DNSSDRegistrationEvent event) {
  gate_.post([this, event = std::move(event)] {
    if (handler_) handler_(event);
  });
}

void DNSSDRegistration::Impl::onClientState(AvahiClient* client, AvahiClientState state) {
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      publish(client);
      break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      // The daemon's own host name is being (re)established: publish again once it runs.
      if (group_) avahi_entry_group_reset(group_);
      break;
    case AVAHI_CLIENT_FAILURE:
      group_ = nullptr;  // freed with the client
      report({DNSSDRegistrationEvent::Kind::failed, name(), avahi_strerror(avahi_client_errno(client))});
      break;
    case AVAHI_CLIENT_CONNECTING:
      // No daemon on the bus: the client would wait for one without a word. Said as a
      // failure, so that the owner knows the service is not published and can try again.
      report({DNSSDRegistrationEvent::Kind::failed, name(), avahi_strerror(AVAHI_ERR_NO_DAEMON)});
      break;
  }
}

void DNSSDRegistration::Impl::publish(AvahiClient* client) {
  if (!group_) {
    group_ = avahi_entry_group_new(client, groupCallback, this);
    if (!group_) {
      report({DNSSDRegistrationEvent::Kind::failed, name(), avahi_strerror(avahi_client_errno(client))});
      return;
    }
  }
  if (!avahi_entry_group_is_empty(group_)) return;
  AvahiStringList* txt = makeStringList(service_.txt);
  for (;;) {
    const std::string current = name();
    int rc = avahi_entry_group_add_service_strlst(
        group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), current.c_str(), service_.type.c_str(),
        service_.domain.empty() ? nullptr : service_.domain.c_str(), nullptr, service_.port, txt);
    if (rc == AVAHI_ERR_COLLISION) {
      // Another service on this host already has the name.
      rename();
      continue;
    }
    if (rc >= 0) rc = avahi_entry_group_commit(group_);
    if (rc < 0) {
      dnssdLog().error("cannot publish service %s: %s", current.c_str(), avahi_strerror(rc));
      report({DNSSDRegistrationEvent::Kind::failed, current, avahi_strerror(rc)});
    }
    break;
  }
  avahi_string_list_free(txt);
}

void DNSSDRegistration::Impl::rename() {
  std::lock_guard lock(nameLock_);
  char* next = avahi_alternative_service_name(service_.name.c_str());
  dnssdLog().notice("service name %s is taken, publishing as %s", service_.name.c_str(), next);
  service_.name = next;
  avahi_free(next);
}

void DNSSDRegistration::Impl::groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
  auto* self = static_cast<Impl*>(context);
  self->group_ = group;
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      self->report({DNSSDRegistrationEvent::Kind::registered, self->name(), {}});
      break;
    case AVAHI_ENTRY_GROUP_COLLISION:
      // Someone on the network answers for the name: take the next one and publish again.
      self->rename();
      avahi_entry_group_reset(group);
      self->publish(avahi_entry_group_get_client(group));
      break;
    case AVAHI_ENTRY_GROUP_FAILURE: {
      const char* reason = avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group)));
      dnssdLog().error("service %s failed: %s", self->name().c_str(), reason);
      self->report({DNSSDRegistrationEvent::Kind::failed, self->name(), reason});
      break;
    }
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
      break;
  }
}

DNSSDRegistration::DNSSDRegistration(const asio::any_io_executor& executor, DNSSDService service, Handler handler)
    : impl_(std::make_unique<Impl>(executor, std::move(service), std::move(handler))) {}

DNSSDRegistration::~DNSSDRegistration() = default;

void DNSSDRegistration::start() { impl_->start(); }

void DNSSDRegistration::withdraw() { impl_->withdraw(); }

std::string DNSSDRegistration::name() const { return impl_->name(); }

}  // namespace brindlet::platform
