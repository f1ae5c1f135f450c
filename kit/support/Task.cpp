#include "kit/support/Task.h"

#include "platform/log/Log.h"

#include <asio/error.hpp>
#include <asio/system_error.hpp>

namespace brindlet::detail {

void reportTaskEnd(std::exception_ptr error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const asio::system_error& e) {
    if (e.code() == asio::error::operation_aborted) return;
    platform::Logger("io.tavix.nolu.host", "runtime").error("task ended by an error: %s", e.what());
  } catch (const std::exception& e) {
    platform::Logger("io.tavix.nolu.host", "runtime").error("task ended by an error: %s", e.what());
  } catch (...) {
    platform::Logger("io.tavix.nolu.host", "runtime").error("task ended by an unknown error");
  }
}

}  // namespace brindlet::detail
