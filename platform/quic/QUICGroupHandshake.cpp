#include "platform/quic/QUICGroupImpl.h"

#include <algorithm>
#include <atomic>
#include <future>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>

namespace brindlet::platform {

bool QUICGroupImpl::setUpTLS(std::string& error) {
  tls_ = TLSSession::make(
      conn_, server_, parameters_, [this] { return onVerify(); }, error);
  return tls_ != nullptr;
}

std::optional<Bytes> QUICGroupImpl::exportKeyingMaterial(std::string_view label, std::size_t length) {
  if (!strand_.running_in_this_thread()) {
    std::promise<std::optional<Bytes>> result;
    auto future = result.get_future();
    asio::dispatch(strand_, [self = shared_from_this(), label = std::string(label), length, &result] {
      result.set_value(self->exportKeyingMaterial(label, length));
    });
    return future.get();
  }
  if (!tls_ || !handshakeDone_ || ended_) return std::nullopt;
  return tls_->exportKeyingMaterial(label, length);
}

std::vector<Bytes> QUICGroupImpl::peerCertificateChain() const {
  std::lock_guard lock(infoMutex_);
  return peerChain_;
}

std::string QUICGroupImpl::applicationProtocol() const {
  std::lock_guard lock(infoMutex_);
  return alpn_;
}

int QUICGroupImpl::onHandshakeCompleted() {
  handshakeDone_ = true;
  if (parameters_.keepAlive) armKeepAlive();
  std::string protocol = tls_->applicationProtocol();
  recordPeerChain();
  {
    std::lock_guard lock(infoMutex_);
    alpn_ = protocol;
  }
  if (!server_ && !parameters_.applicationProtocols.empty() &&
      std::find(parameters_.applicationProtocols.begin(), parameters_.applicationProtocols.end(), protocol) ==
          parameters_.applicationProtocols.end()) {
    return NGTCP2_ERR_CALLBACK_FAILURE;
  }
  if (!server_ && parameters_.verify && verdict_ == Verdict::none) onVerify();  // no certificate was shown
  return 0;
}

void QUICGroupImpl::armKeepAlive() {
  // The idle time-out in force is the shorter of the two announced (zero: none announced).
  std::uint64_t idle = parameters_.idleTimeoutMilliseconds * NGTCP2_MILLISECONDS;
  if (const ngtcp2_transport_params* remote = ngtcp2_conn_get_remote_transport_params(conn_)) {
    if (remote->max_idle_timeout != 0 && (idle == 0 || remote->max_idle_timeout < idle)) {
      idle = remote->max_idle_timeout;
    }
  }
  if (idle == 0) return;
  ngtcp2_conn_set_keep_alive_timeout(conn_, std::max<std::uint64_t>(idle / 3, NGTCP2_MILLISECONDS));
}

std::vector<Bytes> QUICGroupImpl::recordPeerChain() {
  std::vector<Bytes> chain = tls_->peerCertificates();
  std::lock_guard lock(infoMutex_);
  peerChain_ = chain;
  return chain;
}

int QUICGroupImpl::onVerify() {
  std::vector<Bytes> chain = recordPeerChain();
  verdict_ = Verdict::pending;
  // The hook decides later; the connection is not reported ready until it has.
  auto once = std::make_shared<std::atomic<bool>>(false);
  QUICVerifyCompletion completion = [weak = weak_from_this(), strand = strand_, once](bool accept) {
    if (once->exchange(true)) return;
    asio::post(strand, [weak, accept] {
      if (auto self = weak.lock()) self->onVerdict(accept);
    });
  };
  asio::any_io_executor executor =
      parameters_.verifyExecutor ? *parameters_.verifyExecutor : asio::any_io_executor(asio::make_strand(context_));
  asio::post(executor, [hook = parameters_.verify, trust = QUICPeerTrust{std::move(chain)}, completion]() mutable {
    hook(std::move(trust), completion);
  });
  return 0;
}

void QUICGroupImpl::onVerdict(bool accept) {
  if (ended_ || verdict_ != Verdict::pending) return;
  if (accept) {
    verdict_ = Verdict::accepted;
    maybeReportReady();
    return;
  }
  verdict_ = Verdict::rejected;
  ngtcp2_connection_close_error error;
  ngtcp2_connection_close_error_default(&error);
  ngtcp2_connection_close_error_set_transport_error_tls_alert(&error, kTLSAlertBadCertificate, nullptr, 0);
  closeWith(error, QUICGroupState::failed, "TLS certificate rejected");
}

void QUICGroupImpl::maybeReportReady() {
  if (server_ || ended_ || readyReported_ || !started_ || !handshakeDone_) return;
  if (verdict_ == Verdict::pending || verdict_ == Verdict::rejected) return;
  readyReported_ = true;
  waiting_ = false;
  reportState(QUICGroupState::ready, std::nullopt);
}

}  // namespace brindlet::platform
