// zemhost's own word on standard error ("zemhost: cannot load the driver
// module ..."): why a run could not start or did not end well. When standard
// error is the journal, each line carries its level, as the events do.
#ifndef VUZOV_ZEMHOST_STANDARD_ERROR_H
#define VUZOV_ZEMHOST_STANDARD_ERROR_H

#include <string>

#include "events/event.h"

namespace zemhost {

// Writes "zemhost: TEXT" and a line end.
void SayOnStandardError(const std::string &text, Severity severity = Severity::kError);

}  // namespace zemhost

#endif
