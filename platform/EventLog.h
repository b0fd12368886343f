// The system event log: error and information entries under a source name,
// written to syslog (facility daemon). Thread-safe; never raises. Where no
// syslog daemon listens the entry is dropped, so callers that must be heard
// also keep the text elsewhere (the service's status record).
#pragma once

#include <string>

namespace plat {

enum class EventType { Error, Warning, Information };

void ReportEvent(const std::string& source, EventType type, const std::string& text);

}  // namespace plat
