// Host port names of the form COMn, which both platforms' layers map to a
// device of their own.
#include <cstdlib>
#include <cstring>

#include "serial_port.h"

namespace vuzov {

long ComPortNumber(const char *name) {
  if (name == nullptr || std::strncmp(name, "COM", 3) != 0) return 0;
  if (name[3] < '1' || name[3] > '9') return 0;
  char *end = nullptr;
  const long number = std::strtol(name + 3, &end, 10);  // LONG_MAX for digits beyond it
  return *end == '\0' ? number : 0;
}

}  // namespace vuzov
