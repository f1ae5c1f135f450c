#pragma once

// Where each message a device sends goes once a hello has been accepted: a table from the
// message's type to the feature method that handles it. Every feature of the session
// (StreamingFeature, InputFeature, ClipboardFeature, ...) is a class of its own with a
// registration function in its own file, one line per message:
//
//   void InputFeature::registerHandlers(SessionDispatch& d) {
//     d.on<&InputFeature::onKey>();            // msg::Key -> InputFeature::onKey
//   }
//
// So the handler of a message is found in one hop: search for `&Feature::onX` or the message
// type, and that line names the method. The message type is read off the method's parameter;
// the call goes to the session's one object of that feature (SessionFeatures). Adding a
// feature is a class whose constructor takes the SessionCore, its pointer in SessionFeatures,
// its registration line in SessionDispatch::build and its member in HostSession.
//
// A type with no entry is ignored: the host's own messages, which a device never sends, and
// the authentication and pairing messages, which the gate keeps for itself. A device message
// whose feature this host does not have yet, and whose request expects no answer, is marked
// `later`: it gets a notice in the log, once per session. A request that expects an answer
// gets, until its feature is built, the failure answer of its feature (in the feature's
// class), never silence.

#include <array>
#include <cstdint>
#include <string_view>
#include <tuple>

#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class AppsFeature;
class AudioFeature;
class ClipboardFeature;
class CursorFeature;
class FileTransferFeature;
class HostSession;
class InputFeature;
class MenuActionsFeature;
class StreamingFeature;
class ThumbnailsFeature;
class WindowFocusFeature;

// The feature objects of one session, by type; HostSession is the core's own (hello, ping).
using SessionFeatures =
    std::tuple<HostSession*, StreamingFeature*, InputFeature*, ClipboardFeature*, AudioFeature*, WindowFocusFeature*,
               AppsFeature*, FileTransferFeature*, MenuActionsFeature*, CursorFeature*, ThumbnailsFeature*>;

class SessionDispatch {
 public:
  using Handler = asio::awaitable<void> (*)(const SessionFeatures&, const Message&);

  struct Entry {
    Handler handler = nullptr;     // set for a handled message
    std::string_view unavailable;  // set for a device message whose feature is not built yet
  };

  // The session's table, built once.
  static const SessionDispatch& standard();

  // `Method` is a feature's handler, `asio::awaitable<void> (Feature::*)(const msg::X&)`.
  template <auto Method>
  void on() {
    using Traits = HandlerTraits<decltype(Method)>;
    entries_[Traits::Case::type] = Entry{&call<Method>, {}};
  }
  // `feature` names what is missing, as in "app lists".
  template <class Case>
  void later(std::string_view feature) {
    entries_[Case::type] = Entry{nullptr, feature};
  }

  const Entry& entry(std::uint8_t type) const { return entries_[type]; }

 private:
  template <class Method>
  struct HandlerTraits;
  template <class F, class C>
  struct HandlerTraits<asio::awaitable<void> (F::*)(const C&)> {
    using Feature = F;
    using Case = C;
  };

  template <auto Method>
  static asio::awaitable<void> call(const SessionFeatures& features, const Message& message) {
    using Traits = HandlerTraits<decltype(Method)>;
    // The message outlives the handler: the receive loop awaits it before the next one.
    return (std::get<typename Traits::Feature*>(features)->*Method)(*message.as<typename Traits::Case>());
  }

  static SessionDispatch build();

  std::array<Entry, 256> entries_{};
};

}  // namespace brindlet::host
