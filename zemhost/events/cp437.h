// Code page 437 text shown on a UTF-8 terminal.
#ifndef VUZOV_ZEMHOST_CP437_H
#define VUZOV_ZEMHOST_CP437_H

#include <string>

namespace zemhost {

// Converts CP437 bytes to UTF-8. Control bytes other than line feed and tab are
// dropped, so a backspace in a banner does not eat the terminal's last column.
std::string Cp437ToUtf8(const std::string &text);

}  // namespace zemhost

#endif
