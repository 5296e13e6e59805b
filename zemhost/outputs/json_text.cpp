#include "outputs/json_text.h"

#include <cstdio>

#include "events/cp437.h"

namespace zemhost {

std::string JsonString(const std::string &cp437_text) {
  std::string out = "\"";
  for (unsigned char byte : cp437_text) {
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else if (byte >= 0x80) {
      out += Cp437ToUtf8(std::string(1, static_cast<char>(byte)));
    } else {
      out += static_cast<char>(byte);
    }
  }
  out += '"';
  return out;
}

}  // namespace zemhost
