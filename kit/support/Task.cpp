#include "kit/support/Task.h"

#include "kit/support/KitLog.h"

#include <asio/error.hpp>
#include <asio/system_error.hpp>

namespace brindlet::detail {

void reportTaskEnd(std::exception_ptr error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const asio::system_error& e) {
    if (e.code() == asio::error::operation_aborted) return;
    kitLog("runtime").error("task ended by an error: %s", e.what());
  } catch (const std::exception& e) {
    kitLog("runtime").error("task ended by an error: %s", e.what());
  } catch (...) {
    kitLog("runtime").error("task ended by an unknown error");
  }
}

}  // namespace brindlet::detail
