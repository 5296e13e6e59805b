// JSON as zemhost writes it, for the JSON output and the MQTT payloads: the
// driver's code page 437 text as UTF-8 strings, members in the order written.
// A small writer of its own rather than a JSON library: the bytes are fixed
// (a time with three decimals, "2.100"; values as %.15g, "4294967168"; every
// control byte as \u00XX), and nlohmann/json writes 2.1, 4294967168.0 and
// "\b", "\r" instead.
#ifndef VUZOV_ZEMHOST_JSON_TEXT_H
#define VUZOV_ZEMHOST_JSON_TEXT_H

#include <string>

namespace zemhost {

// The text as a quoted JSON string: code page 437 turned into UTF-8, '"' and
// '\' escaped, line feed and tab as \n and \t, other control bytes as \u00XX.
std::string JsonString(const std::string &cp437_text);

// {"key":value,...}, built member by member.
class JsonObject {
 public:
  JsonObject &Text(const char *key, const std::string &cp437_text) {
    return Raw(key, JsonString(cp437_text));
  }
  template <typename Integer>
  JsonObject &Number(const char *key, Integer value) {
    return Raw(key, std::to_string(value));
  }
  JsonObject &Bool(const char *key, bool value) { return Raw(key, value ? "true" : "false"); }
  // A value already written as JSON.
  JsonObject &Raw(const char *key, const std::string &json) {
    text_ += text_.size() == 1 ? "\"" : ",\"";
    text_ += key;
    text_ += "\":";
    text_ += json;
    return *this;
  }
  std::string Close() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

}  // namespace zemhost

#endif
