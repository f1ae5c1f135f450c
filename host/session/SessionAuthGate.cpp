#include "host/session/SessionAuthGate.h"

namespace brindlet::host {

asio::awaitable<AuthVerdict> SessionAuthGate::handle(Message message) {
  HostAuthGate::Verdict verdict = co_await gate_->handle(std::move(message));
  co_return verdict == HostAuthGate::Verdict::proceed ? AuthVerdict::proceed : AuthVerdict::consumed;
}

}  // namespace brindlet::host
