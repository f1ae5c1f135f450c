#pragma once

// What a waiter for a QUIC connection's readiness receives when the connection ended first.
//
//   try { co_await connection->waitUntilReady(); }
//   catch (const QUICError& error) {
//     if (error == QUICError::pinMismatch()) offerRepairing();
//     show(error.text());            // the reason, or "This Mac’s identity changed. Re-pair?"
//   }

#include <exception>
#include <string>

namespace brindlet {

class QUICError : public std::exception {
 public:
  enum class Case { failed, pinMismatch };

  static QUICError failed(std::string reason) { return QUICError(Case::failed, std::move(reason)); }
  static QUICError pinMismatch() { return QUICError(Case::pinMismatch, {}); }

  Case errorCase() const { return case_; }
  // The reason of `failed` (empty for pinMismatch).
  const std::string& reason() const { return reason_; }
  // The user-facing text.
  const std::string& text() const;
  const char* what() const noexcept override { return text().c_str(); }

  bool operator==(const QUICError& other) const {
    return case_ == other.case_ && (case_ == Case::pinMismatch || reason_ == other.reason_);
  }

 private:
  QUICError(Case c, std::string reason) : case_(c), reason_(std::move(reason)) {}

  Case case_;
  std::string reason_;
};

}  // namespace brindlet
