// A Modbus TCP request, from the bytes a client sends to what the server does
// with it. The framer cuts whole requests out of a client's stream by the
// MBAP header's length; the rules decide, before anything is read or written,
// whether a request is answered, refused with which exception, or ignored.
// Only a request the rules let through reaches libmodbus, so no count in a
// request can make the reply read past what was received or past the map.
#ifndef VUZOV_ZEMHOST_MODBUS_REQUEST_H
#define VUZOV_ZEMHOST_MODBUS_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zemhost::modbus {

// The MBAP header (7 bytes) and the longest PDU (253): a whole ADU.
inline constexpr std::size_t kHeaderLength = 7;
inline constexpr std::size_t kLongestRequest = 260;

class RequestFramer {
 public:
  enum class Status {
    kPartial,  // more bytes are needed
    kWhole,    // a whole request is at the front
    kBroken,   // the stream is no Modbus TCP: nothing after can be trusted
  };

  // Where the next bytes read go, and how many fit.
  std::uint8_t *Space() { return buffer_ + filled_; }
  std::size_t Room() const { return sizeof buffer_ - filled_; }
  void Added(std::size_t count) { filled_ += count; }
  bool Empty() const { return filled_ == 0; }

  // Whether a whole request is at the front (its length in *length), or why
  // the stream is broken (*why).
  Status Look(std::size_t *length, std::string *why) const;
  const std::uint8_t *Front() const { return buffer_; }
  // Drops the request at the front.
  void Consume(std::size_t length);

 private:
  std::uint8_t buffer_[kLongestRequest];
  std::size_t filled_ = 0;
};

// The map's tables as one server serves them.
struct ServedTables {
  int instances = 0;       // unit ids 1 to this are instances
  int discrete_inputs = 0; // addresses 0 to this - 1
  int input_registers = 0;
  int holding_registers = 0;
  bool commands = false;   // holding registers served at all
};

enum class Action {
  kIgnore,         // unit 0, a broadcast: no answer, nothing done
  kException,      // answer with `exception`
  kReadDiscrete,   // FC 02
  kReadInputs,     // FC 04
  kReadHolding,    // FC 03
  kWriteCommand,   // FC 06 or 16 writing `value` to the command register
};

struct Decision {
  Action action = Action::kIgnore;
  int instance = 0;
  std::uint8_t exception = 0;
  int first = 0;
  int count = 0;
  std::uint16_t value = 0;
};

// The exception codes this server answers with.
inline constexpr std::uint8_t kIllegalFunction = 0x01;
inline constexpr std::uint8_t kIllegalAddress = 0x02;
inline constexpr std::uint8_t kIllegalValue = 0x03;
inline constexpr std::uint8_t kGatewayTargetFailed = 0x0B;

// Unit 255, which many clients send by default, is the one instance of a run
// of one; otherwise the unit id is the instance number.
inline constexpr std::uint8_t kDefaultUnit = 0xFF;

// `request` is a whole ADU as the framer gave it.
Decision Decide(const std::uint8_t *request, std::size_t length, const ServedTables &tables);

}  // namespace zemhost::modbus

#endif
