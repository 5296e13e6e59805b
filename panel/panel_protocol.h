// The panel side of the driver: point addresses, decoding of panel replies into
// gate values, and the poll and command exchanges on the link.
#ifndef VUZOV_PANEL_PANEL_PROTOCOL_H
#define VUZOV_PANEL_PANEL_PROTOCOL_H

#include <cstddef>
#include <cstdint>

#include "host_interface.h"

namespace vuzov {

// Control bytes of the panel link.
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kAck = 0x06;

// A framed reply is at most this long; its end is found by the read timeout.
inline constexpr std::size_t kMaxReplyLength = 20;

// ---- Point addresses --------------------------------------------------------

// Command 3: checks the address in the AddressBlock and stores its panel number.
std::uint32_t SingleAddressParser(Request *request);
// 0 when the address is valid (panel number stored), 1 when it is not, 2 when
// there is no block to judge.
std::uint32_t Parse(AddressBlock *block);

// ---- Reply decoding ---------------------------------------------------------

// Turns the reply held in the state's receive area into the point's result word
// and gate stores. `delivered` is how many bytes of the area this reply filled;
// positions beyond it are read as zero, never as what an older reply left there.
void DecodeReply(Request *request, std::size_t delivered);

// How many bytes of a framed reply, counting its STX, the decoding of its
// message reads: the frame has no length or end byte, so this is the only way
// to know that a message arrived whole. `type` and `state` are m0 and m1.
std::size_t MessageLength(std::uint8_t type, std::uint8_t state);
// Whether the reply in the receive area is a frame holding every byte its
// message type is decoded from.
bool HoldsWholeMessage(const std::uint8_t *area, std::size_t delivered);

// ---- Link exchanges ---------------------------------------------------------

// Command 5: polls the panel and decodes its reply.
std::uint32_t SingleRead(Request *request);
// Command 7: sends the panel command the address names and reports the panel's
// acknowledgement.
std::uint32_t SingleWrite(Request *request);

std::uint32_t DoRead(Request *request);
std::uint32_t DoWrite(Request *request);
// 0 when all bytes went out, 2 otherwise (logged).
std::uint32_t Send(const std::uint8_t *bytes, std::uint32_t count, PortWord port);
// Collects one reply into the receive area: 0 when at least its first byte
// arrived (delivered says how many), 2 when nothing arrived.
std::uint32_t Receive(std::uint8_t *area, PortWord port, std::size_t *delivered);

}  // namespace vuzov

#endif
