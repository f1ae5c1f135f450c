#include "platform/log/Log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace brindlet::platform {
namespace {

std::mutex observerLock;
LogObserver observer;

std::string formatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return format;
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

bool journalRuns() {
  static const bool runs = access("/run/systemd/journal/socket", W_OK) == 0;
  return runs;
}

int priorityOf(LogLevel level) {
  switch (level) {
    case LogLevel::info:
      return LOG_INFO;
    case LogLevel::notice:
      return LOG_NOTICE;
    case LogLevel::error:
      return LOG_ERR;
  }
  return LOG_NOTICE;
}

const char* nameOf(LogLevel level) {
  switch (level) {
    case LogLevel::info:
      return "info";
    case LogLevel::notice:
      return "default";
    case LogLevel::error:
      return "error";
  }
  return "default";
}

void observe(const LogRecord& record) {
  LogObserver current;
  {
    std::lock_guard lock(observerLock);
    current = observer;
  }
  if (current) current(record);
}

}  // namespace

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string_view message) const {
  if (journalRuns()) {
    sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(), "PRIORITY=%d", priorityOf(level),
                    "SUBSYSTEM=%s", subsystem_.c_str(), "CATEGORY=%s", category_.c_str(),
                    "SYSLOG_IDENTIFIER=brindlet-host", nullptr);
  } else {
    std::fprintf(stderr, "[%s:%s] %s: %.*s\n", subsystem_.c_str(), category_.c_str(), nameOf(level),
                 static_cast<int>(message.size()), message.data());
  }
  observe(LogRecord{subsystem_, category_, level, std::string(message)});
}

#define BRINDLET_LOG_AT(level)              \
  va_list args;                             \
  va_start(args, format);                   \
  std::string text = formatV(format, args); \
  va_end(args);                             \
  log(level, text)

void Logger::info(const char* format, ...) const { BRINDLET_LOG_AT(LogLevel::info); }
void Logger::notice(const char* format, ...) const { BRINDLET_LOG_AT(LogLevel::notice); }
void Logger::error(const char* format, ...) const { BRINDLET_LOG_AT(LogLevel::error); }

void systemLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatV(format, args);
  va_end(args);
  syslog(LOG_NOTICE, "%s", text.c_str());
  if (!journalRuns()) std::fprintf(stderr, "%s\n", text.c_str());
  observe(LogRecord{"", "", LogLevel::notice, text});
}

LogObserver setLogObserver(LogObserver next) {
  std::lock_guard lock(observerLock);
  LogObserver previous = std::move(observer);
  observer = std::move(next);
  return previous;
}

}  // namespace brindlet::platform
