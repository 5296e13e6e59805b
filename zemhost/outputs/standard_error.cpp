#include "outputs/standard_error.h"

#include <cstdio>

#include "outputs/event_writer.h"
#include "service/service_manager.h"

namespace zemhost {

void SayOnStandardError(const std::string &text, Severity severity) {
  std::string line = "zemhost: " + text;
  if (StandardErrorIsJournal()) line = JournalLine(severity, line);
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace zemhost
