#pragma once

// The life of a connection, as its `states` stream reports it.
//
//   ConnectionState::ready()                     ConnectionState::failed("handshake timed out")
//   if (state.is(ConnectionState::Case::failed)) log(state.reason());
//   state == ConnectionState::closed()           // same case and, for failed, the same reason

#include <string>
#include <utility>

namespace brindlet {

class ConnectionState {
 public:
  enum class Case { failed, connecting, ready, closed };

  static ConnectionState failed(std::string reason) { return ConnectionState(Case::failed, std::move(reason)); }
  static ConnectionState connecting() { return ConnectionState(Case::connecting, {}); }
  static ConnectionState ready() { return ConnectionState(Case::ready, {}); }
  static ConnectionState closed() { return ConnectionState(Case::closed, {}); }

  Case stateCase() const { return case_; }
  bool is(Case c) const { return case_ == c; }
  // failed and closed end a connection.
  bool isTerminal() const { return case_ == Case::failed || case_ == Case::closed; }
  // The reason of a failure (empty for the other cases).
  const std::string& reason() const { return reason_; }

  bool operator==(const ConnectionState&) const = default;

 private:
  ConnectionState(Case c, std::string reason) : case_(c), reason_(std::move(reason)) {}

  Case case_;
  std::string reason_;
};

}  // namespace brindlet
