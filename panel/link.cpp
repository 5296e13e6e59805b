// The exchanges on the panel link: the poll that reads the panel's next message,
// and the three command frames. Each makes up to three attempts.
//
// A fire panel's alarm must never be lost or invented by a noisy line, and the
// link gives little to go on: a reply has no length, end byte or checksum, and
// the panel retires a message as soon as it sees an ACK for it. So:
// - stale input is thrown away before every attempt, the first one included:
//   bytes that arrived unasked (the tail of an earlier reply, noise) are never
//   read as the answer to a new poll;
// - a reply ends when the line falls silent for one read timeout, and whatever
//   a reply sends beyond the receive area's 20 bytes is read away with it, so
//   nothing of it is left for the next exchange;
// - only a frame holding every byte its message is decoded from is
//   acknowledged and decoded. A frame cut short, or a noise byte, fails the
//   attempt: unacknowledged, the panel sends its message again;
// - a noise byte, in a poll's reply or a command's, is read away with
//   whatever follows it until the line falls silent.
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

// A line that never falls silent must not hold the host's thread for good: at
// most this much is read away (half a second at 9600 baud). The drain before
// the next attempt takes whatever follows.
constexpr std::size_t kMostReadAway = 512;

// Reads and discards until the line has been silent for one read timeout.
void ReadAwayUntilSilent(PortWord port) {
  std::uint8_t scratch = 0;
  for (std::size_t read_away = 0; read_away < kMostReadAway && ReadOneByte(port, &scratch);
       ++read_away) {
  }
}

// The panel's one-byte answers: nothing to report, and a bare acknowledgement.
bool IsOneByteAnswer(std::uint8_t byte) { return byte == kEot || byte == kAck; }

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

std::uint32_t Receive(std::uint8_t *area, PortWord port, std::size_t *delivered) {
  *delivered = 0;
  if (!ReadOneByte(port, &area[0])) return kFailed;
  *delivered = 1;
  if (area[0] != kStx) return kOk;
  // A framed reply has no length or end byte: it ends when the line falls
  // silent for one read timeout. The area keeps its first 20 bytes.
  while (*delivered < kMaxReplyLength && ReadOneByte(port, &area[*delivered])) ++*delivered;
  if (*delivered == kMaxReplyLength) ReadAwayUntilSilent(port);
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
      err(kLogInfo, "ZODODA> DoRead() error sending data, retry %d '%.255s'", attempt, address);
      continue;
    }
    std::size_t delivered = 0;
    if (Receive(state->receive, port, &delivered) != kOk) {
      err(kLogInfo, "ZODODA> DoRead() error receiving data, retry %d '%.255s'", attempt, address);
      continue;
    }
    const std::uint8_t first = state->receive[0];
    if (!IsOneByteAnswer(first)) {
      if (first != kStx) ReadAwayUntilSilent(port);  // noise: the rest of it is no answer
      if (!HoldsWholeMessage(state->receive, delivered)) {
        err(kLogInfo, "ZODODA> DoRead() incomplete reply, retry %d '%.255s'", attempt, address);
        continue;
      }
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
      err(kLogInfo, "ZODODA> DoWrite() error sending write request, retry %d '%.255s'", attempt,
          address);
      result = kFailed;
      continue;
    }
    std::size_t delivered = 0;
    if (Receive(state->receive, port, &delivered) != kOk) {
      err(kLogInfo, "ZODODA> DoWrite() error receiving code, retry %d '%.255s'", attempt,
          address);
      result = kFailed;
      continue;
    }
    // A one-byte answer other than ACK is no acknowledgement but noise, or a
    // byte of a late answer to an earlier request: read away what follows it,
    // as after noise in a poll's reply, so the next exchange starts on a quiet
    // line instead of reading the rest as its own answer.
    if (state->receive[0] != kAck && state->receive[0] != kStx) ReadAwayUntilSilent(port);
    result = kOk;
    break;
  }
  // A panel that never answered has not acknowledged, whatever an older reply
  // left in the receive area.
  SetAcknowledged(point->result, result == kOk && state->receive[0] == kAck);
  return result;
}

// Sic, " , ret val": hosts match the driver's log lines verbatim.
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
