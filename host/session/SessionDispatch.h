#pragma once

// Where each message a device sends goes once a hello has been accepted: a table from the
// message's type to its handler, filled by one registration function per feature of the
// session. Adding a handler is one `on` line in its feature's registration function (in
// place of the feature's `later` line).
//
//   void HostSession::registerInputHandlers(SessionDispatch& d) {
//     d.on<msg::Key, &HostSession::onKey>();
//   }
//
// A type with no entry is ignored: the host's own messages, which a device never sends, and
// the authentication and pairing messages, which the gate keeps for itself. A device message
// whose feature this host does not have yet is marked `later` and is answered with nothing
// but a notice in the log.

#include <array>
#include <cstdint>
#include <string_view>

#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class HostSession;

class SessionDispatch {
 public:
  using Handler = asio::awaitable<void> (*)(HostSession&, const Message&);

  struct Entry {
    Handler handler = nullptr;     // set for a handled message
    std::string_view unavailable;  // set for a device message whose feature is not built yet
  };

  // The session's table, built once.
  static const SessionDispatch& standard();

  template <class Case, asio::awaitable<void> (HostSession::*Method)(const Case&)>
  void on() {
    entries_[Case::type] = Entry{&call<Case, Method>, {}};
  }
  // `feature` names what is missing, as in "app lists".
  template <class Case>
  void later(std::string_view feature) {
    entries_[Case::type] = Entry{nullptr, feature};
  }

  const Entry& entry(std::uint8_t type) const { return entries_[type]; }

 private:
  template <class Case, asio::awaitable<void> (HostSession::*Method)(const Case&)>
  static asio::awaitable<void> call(HostSession& session, const Message& message) {
    // The message outlives the handler: the receive loop awaits it before the next one.
    return (session.*Method)(*message.as<Case>());
  }

  static SessionDispatch build();

  std::array<Entry, 256> entries_{};
};

}  // namespace brindlet::host
