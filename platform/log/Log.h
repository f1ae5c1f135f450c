#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace brindlet::platform {

// Levels of the system log: info, the default level, and error.
enum class LogLevel { info, notice, error };

struct LogRecord {
  std::string subsystem;  // e.g. "io.tavix.nolu.host"
  std::string category;   // e.g. "transport"
  LogLevel level = LogLevel::notice;
  std::string message;
};

// A logger with a subsystem and a category. Messages take printf formats; the system
// log's privacy markers are not used here, every argument is written as it is.
// Records go to journald when it runs, else to standard error.
class Logger {
 public:
  Logger(std::string subsystem, std::string category);

  void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void notice(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void log(LogLevel level, std::string_view message) const;

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

// The plain system log (syslog), for the few messages that carry the product name in front.
void systemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests observe what is logged: while an observer is set every record (plain system log
// records with an empty subsystem and category) is handed to it as well. Returns the
// previous observer.
using LogObserver = std::function<void(const LogRecord&)>;
LogObserver setLogObserver(LogObserver observer);

}  // namespace brindlet::platform
