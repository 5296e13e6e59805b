// The exchanges on the panel link: the poll that reads the panel's next message,
// and the three command frames. Each makes up to three attempts, draining stale
// input before every one.
//
// Stale input is drained before the first attempt too. A reply has no length
// and the panel answers every poll, so bytes left on the line (the tail of an
// overlong or dribbled frame, noise) would otherwise be read as the answer to
// the next poll, whose own answer then waits behind it: each exchange reads one
// stale reply while adding a fresh one, the line never catches up, the panel's
// frames are acknowledged too early to count, and no new alarm gets through.
#include <cstddef>
#include <cstring>

#include "panel_protocol.h"
#include "serial_port.h"

namespace vuzov {
namespace {

constexpr int kAttempts = 3;
constexpr std::uint32_t kCommandFrameLength = 5;

// The command frames, chosen by the letter at position 3 of a command point.
bool CommandFrameFor(char letter, std::uint8_t *frame) {
  static const std::uint8_t kAcknowledge[kCommandFrameLength] = {0x02, 0x02, 0x00, 0x01, 0x01};
  static const std::uint8_t kReset[kCommandFrameLength] = {0x02, 0x02, 0x00, 0x00, 0x00};
  static const std::uint8_t kSilence[kCommandFrameLength] = {0x02, 0x02, 0x00, 0x02, 0x02};
  const std::uint8_t *source = nullptr;
  switch (letter) {
    case 'A': source = kAcknowledge; break;
    case 'R': source = kReset; break;
    case 'S': source = kSilence; break;
    default: return false;
  }
  std::memcpy(frame, source, kCommandFrameLength);
  return true;
}

bool ReadOneByte(PortWord port, std::uint8_t *into) {
  std::uint32_t got = 0;
  return ReadExact(port, into, 1, &got) == kOk;
}

void SetAcknowledged(void *write_status, bool acknowledged) {
  const std::uint16_t word = acknowledged ? 1 : 0;
  std::memcpy(static_cast<unsigned char *>(write_status) + offsetof(WriteStatus, acknowledged),
              &word, sizeof word);
}

// The point block of a read or write, or null when the host gave none.
PointBlock *PointOf(Request *request) {
  if (request == nullptr || request->state == nullptr) return nullptr;
  return static_cast<PointBlock *>(request->params);
}

}  // namespace

std::uint32_t Send(const std::uint8_t *bytes, std::uint32_t count, PortWord port) {
  std::uint32_t written = 0;
  if (WriteAll(port, bytes, count, &written) == kOk && written == count) return kOk;
  err(kLogInfo, "ZODODA> Send() error: unable to send to COM port");
  return kFailed;
}

namespace {

// At most this much of a reply's unread rest is read away: a line that never
// falls silent must not hold the host's thread.
constexpr std::size_t kMostDrained = 512;

// A reply that did not end by falling silent (a frame cut at its longest, or a
// first byte that is neither a frame nor one of the panel's one-byte answers,
// such as noise) is still arriving. Its rest is read away until the line is
// quiet for one read timeout, so that the next poll's answer is not read
// behind it.
void DrainRestOfReply(PortWord port) {
  std::uint8_t scratch = 0;
  for (std::size_t drained = 0; drained < kMostDrained && ReadOneByte(port, &scratch); ++drained) {
  }
}

// STX, the two header bytes and the message bytes m0 to m5.
constexpr std::size_t kWholeMessageLength = 9;

// Only a frame that holds a whole message is acknowledged. The panel retires
// the message it sent when the ACK comes: an ACK for noise, or for a frame cut
// short by a hang-up or a pause, would lose an alarm the host never read
// whole. Unacknowledged, the panel sends the message again at the next poll.
// EOT and ACK from the panel need no answer either.
bool CarriesWholeMessage(const std::uint8_t *area, std::size_t delivered) {
  return area[0] == kStx && delivered >= kWholeMessageLength;
}

}  // namespace

std::uint32_t Receive(std::uint8_t *area, PortWord port, std::size_t *delivered) {
  *delivered = 0;
  if (!ReadOneByte(port, &area[0])) return kFailed;
  *delivered = 1;
  if (area[0] == kEot || area[0] == kAck) return kOk;
  if (area[0] != kStx) {
    DrainRestOfReply(port);
    return kOk;
  }
  // A framed reply has no length or end byte: it ends when the line falls
  // silent for one read timeout, or at its longest.
  while (*delivered < kMaxReplyLength && ReadOneByte(port, &area[*delivered])) ++*delivered;
  if (*delivered == kMaxReplyLength) DrainRestOfReply(port);
  return kOk;
}

std::uint32_t DoRead(Request *request) {
  PointBlock *point = PointOf(request);
  if (point == nullptr || point->result == nullptr) return kFailed;
  if (point->address == nullptr) return kNotPossible;
  InstanceState *state = request->state;
  const PortWord port = state->port;
  if (port == PortWord{}) return kNotPossible;
  const char *address = point->address;

  state->transmit[0] = kEnq;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    PurgePort(port);
    if (Send(state->transmit, 1, port) != kOk) {
      err(kLogInfo, "ZODODA> DoRead() error sending data, retry %d '%s'", attempt, address);
      continue;
    }
    std::size_t delivered = 0;
    if (Receive(state->receive, port, &delivered) != kOk) {
      err(kLogInfo, "ZODODA> DoRead() error receiving data, retry %d '%s'", attempt, address);
      continue;
    }
    if (CarriesWholeMessage(state->receive, delivered)) {
      state->transmit[0] = kAck;
      Send(state->transmit, 1, port);
    }
    DecodeReply(request, delivered);
    return kOk;
  }
  return kFailed;
}

std::uint32_t DoWrite(Request *request) {
  PointBlock *point = PointOf(request);
  if (point == nullptr || point->result == nullptr) return kFailed;
  if (point->address == nullptr) return kNotPossible;
  // Only positions 3 and 4 matter; look no further into the host's text, however
  // long it is.
  const char *address = point->address;
  char head[6] = {};
  for (std::size_t i = 0; i < 5 && address[i] != '\0'; ++i) head[i] = address[i];
  if (head[4] != '!') return kOk;  // not a command point
  InstanceState *state = request->state;
  const PortWord port = state->port;
  if (port == PortWord{}) return kNotPossible;
  if (!CommandFrameFor(head[3], state->transmit)) return kOk;

  std::uint32_t result = kFailed;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    PurgePort(port);
    if (Send(state->transmit, kCommandFrameLength, port) != kOk) {
      err(kLogInfo, "ZODODA> DoWrite() error sending write request, retry %d '%s'", attempt,
          address);
      result = kFailed;
      continue;
    }
    std::size_t delivered = 0;
    if (Receive(state->receive, port, &delivered) != kOk) {
      err(kLogInfo, "ZODODA> DoWrite() error receiving code, retry %d '%s'", attempt, address);
      result = kFailed;
      continue;
    }
    result = kOk;
    break;
  }
  // A panel that never answered has not acknowledged, whatever an older reply
  // left in the receive area.
  SetAcknowledged(point->result, result == kOk && state->receive[0] == kAck);
  return result;
}

std::uint32_t SingleRead(Request *request) {
  const std::uint32_t result = DoRead(request);
  if (result != kOk) err(kLogInfo, "ZODODA> SingleRead() , ret val is %d", static_cast<int>(result));
  return result;
}

std::uint32_t SingleWrite(Request *request) {
  const std::uint32_t result = DoWrite(request);
  if (result != kOk) err(kLogInfo, "ZODODA> SingleWrite() , ret val is %d", static_cast<int>(result));
  return result;
}

}  // namespace vuzov
