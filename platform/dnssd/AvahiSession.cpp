#include "platform/dnssd/AvahiSession.h"

#include <avahi-common/error.h>

#include "platform/dnssd/DNSSDError.h"
#include "platform/log/Log.h"

namespace brindlet::platform {
const Logger& dnssdLog() {
  static const Logger logger("io.tavix.nolu.platform", "dnssd");
  return logger;
}

AvahiSession::AvahiSession(StateHandler handler) : handler_(std::move(handler)) {
  poll_ = avahi_threaded_poll_new();
  if (!poll_) throw DNSSDError("cannot create the Avahi event loop");
  int error = 0;
  client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, clientCallback, this, &error);
  if (!client_) {
    avahi_threaded_poll_free(poll_);
    throw DNSSDError(avahi_strerror(error));
  }
}

AvahiSession::~AvahiSession() {
  if (started_) avahi_threaded_poll_stop(poll_);
  if (client_) avahi_client_free(client_);
  avahi_threaded_poll_free(poll_);
}

void AvahiSession::start() {
  if (started_) return;
  if (avahi_threaded_poll_start(poll_) < 0) throw DNSSDError("cannot start the Avahi event loop");
  started_ = true;
}

void AvahiSession::withLock(const std::function<void()>& work) {
  if (!started_) {
    work();
    return;
  }
  avahi_threaded_poll_lock(poll_);
  try {
    work();
  } catch (...) {
    avahi_threaded_poll_unlock(poll_);
    throw;
  }
  avahi_threaded_poll_unlock(poll_);
}

void AvahiSession::clientCallback(AvahiClient* client, AvahiClientState state, void* context) {
  auto* self = static_cast<AvahiSession*>(context);
  self->handler_(client, state);
  if (state != AVAHI_CLIENT_FAILURE) return;
  // The daemon went away (or refused us): start over with a new client that waits for it.
  dnssdLog().error("Avahi client failed: %s", avahi_strerror(avahi_client_errno(client)));
  avahi_client_free(client);
  self->client_ = nullptr;
  self->makeClient();
}

void AvahiSession::makeClient() {
  int error = 0;
  AvahiClient* client =
      avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, clientCallback, this, &error);
  if (!client) {
    dnssdLog().error("cannot reconnect to the Avahi daemon: %s", avahi_strerror(error));
    return;
  }
  client_ = client;
}

}  // namespace brindlet::platform
