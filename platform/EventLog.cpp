#include "EventLog.h"

#include <syslog.h>

#include <mutex>

namespace plat {

void ReportEvent(const std::string& source, EventType type, const std::string& text) {
  static std::mutex lock;
  // openlog keeps the ident pointer: keep our copy alive while it is in use.
  static std::string ident;
  int priority = type == EventType::Error ? LOG_ERR : type == EventType::Warning ? LOG_WARNING : LOG_INFO;
  std::scoped_lock guard(lock);
  if (ident != source) {
    closelog();
    ident = source;
    openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
  }
  syslog(priority, "%s", text.c_str());
}

}  // namespace plat
