// What crosses the boundary between a host and the module: the records they
// exchange, the command codes, the result codes and log levels, the bits of
// the flags word the host sets, and (qarpro.h) the host library's functions.
//
// The records are a binary contract with hosts built elsewhere: packed, fields in
// the host's order, pointer fields at the platform's pointer width. The asserts at
// the end pin every size and offset, for the host's own 32-bit Windows layout, for
// 64-bit Linux, and for 64-bit Windows (the build that runs the Windows code where
// 32-bit programs cannot run).
#ifndef VUZOV_CONTRACT_HOST_INTERFACE_H
#define VUZOV_CONTRACT_HOST_INTERFACE_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "qarpro.h"

namespace vuzov {

#if defined(_WIN32)
// A Win32 HANDLE, kept as the pointer-sized word the host reserves for it.
using PortWord = void *;
#else
// A file descriptor; never 0 while a port is open.
using PortWord = std::uint32_t;
#endif

#pragma pack(push, 1)

struct LineSettings {
  std::uint16_t baud;
  std::uint16_t data_bits;
  std::uint16_t stop_bits;  // 0 one, 1 one and a half, 2 two
  std::uint16_t parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

struct PortBlock {
  char name[12];
  LineSettings line;
  std::uint16_t flags;  // DTR/RTS modes: the bits below
};

// The bits of PortBlock::flags that choose the DTR and RTS modes. The host
// sets the word; the driver tests the bits in this order when it opens the
// port, and the first match wins: DTR on if either of its two on bits is set,
// else handshake, else off; RTS likewise, then toggle. No other bit has an
// effect.
inline constexpr std::uint16_t kDtrOn = 0x0001;
inline constexpr std::uint16_t kDtrOnToo = 0x0100;
inline constexpr std::uint16_t kDtrHandshake = 0x8000;
inline constexpr std::uint16_t kRtsOn = 0x0002;
inline constexpr std::uint16_t kRtsOnToo = 0x0200;
inline constexpr std::uint16_t kRtsHandshake = 0x1000;
inline constexpr std::uint16_t kRtsToggle = 0x2000;
// Every bit that has a say in one line's mode.
inline constexpr std::uint16_t kDtrModeBits = kDtrOn | kDtrOnToo | kDtrHandshake;
inline constexpr std::uint16_t kRtsModeBits = kRtsOn | kRtsOnToo | kRtsHandshake | kRtsToggle;

inline constexpr std::size_t kTransmitAreaSize = 256;
inline constexpr std::size_t kReceiveAreaSize = 262;

struct InstanceState {
  std::uint32_t timeout;  // read timeout in 10 ms units
  PortWord port;          // 0: no port open
  PortBlock port_block;
  std::uint8_t transmit[kTransmitAreaSize];
  std::uint8_t receive[kReceiveAreaSize];
  std::uint32_t client_id;  // the host writes its client id here; the first byte is the id
};

struct Request {
  InstanceState *state;
  std::uint32_t command;
  std::int32_t instance;
  std::uint32_t host_reserved;
  void *params;
};

struct PointBlock {
  const char *address;
  std::uint8_t host_reserved1[12];
  std::int32_t panel;
  std::uint8_t host_reserved2[20];
  void *result;  // SingleRead: int32_t result word; SingleWrite: WriteStatus
};

// Three of its words carry constants whose meaning is the host's, not the
// module's: like the host's reserved fields elsewhere, they are named by their
// place in the host's 32-bit layout (offsets 0, 16 and 28).
struct DriverInfo {
  std::uint32_t host_word0;
  const char *name;
  const char *banner;
  std::uint32_t state_size;
  std::uint32_t host_word16;
  LineSettings line;
  std::uint32_t host_word28;
};

struct AddressBlock {
  const char *address;
  std::uint8_t host_reserved[20];
  std::int32_t panel;
};

struct StartParams {
  char port_name[12];
  std::uint32_t enable;
  std::uint32_t timeout;
  LineSettings line;
};

struct ChangeParams {
  char port_name[12];
  std::uint32_t timeout;  // 0 and 0xFFFFFFFF keep the current one
  LineSettings line;      // applied when the baud word, as int16, is not 0
};

struct WriteStatus {
  std::uint16_t host_reserved;
  std::uint16_t acknowledged;
};

#pragma pack(pop)

// Command codes as the host sends them.
enum Command : std::uint32_t {
  kColdStart = 1,
  kWarmStart = 2,
  kSingleAddressParser = 3,
  kBlockAddressParser = 4,
  kSingleRead = 5,
  kBlockRead = 6,
  kSingleWrite = 7,
  kBlockWrite = 10,
  kEndZem = 11,
  kCloseCom = 12,
  kReOpenCom = 13,
  kGetZemInfo = 14,
  kChangeZemParams = 15,
};

inline constexpr std::uint32_t kCommandCount = 16;

// Module result codes.
inline constexpr std::uint32_t kOk = 0;
inline constexpr std::uint32_t kNotPossible = 1;
inline constexpr std::uint32_t kFailed = 2;

// Log levels of the host's err().
inline constexpr std::int32_t kLogInfo = 0;
inline constexpr std::int32_t kLogNotice = 32;

// ---- Layout of the binary contract ----------------------------------------

#define VUZOV_RECORD(T)                                                      \
  static_assert(std::is_standard_layout_v<T>, #T " must be standard layout"); \
  static_assert(std::is_trivially_copyable_v<T>, #T " must be trivially copyable")
VUZOV_RECORD(LineSettings);
VUZOV_RECORD(PortBlock);
VUZOV_RECORD(InstanceState);
VUZOV_RECORD(Request);
VUZOV_RECORD(PointBlock);
VUZOV_RECORD(DriverInfo);
VUZOV_RECORD(AddressBlock);
VUZOV_RECORD(StartParams);
VUZOV_RECORD(ChangeParams);
VUZOV_RECORD(WriteStatus);
#undef VUZOV_RECORD

static_assert(sizeof(LineSettings) == 8);
static_assert(offsetof(LineSettings, baud) == 0 && offsetof(LineSettings, data_bits) == 2 &&
              offsetof(LineSettings, stop_bits) == 4 && offsetof(LineSettings, parity) == 6);
static_assert(sizeof(PortBlock) == 22);
static_assert(offsetof(PortBlock, name) == 0 && offsetof(PortBlock, line) == 12 &&
              offsetof(PortBlock, flags) == 20);
static_assert(sizeof(StartParams) == 28);
static_assert(offsetof(StartParams, port_name) == 0 && offsetof(StartParams, enable) == 12 &&
              offsetof(StartParams, timeout) == 16 && offsetof(StartParams, line) == 20);
static_assert(sizeof(ChangeParams) == 24);
static_assert(offsetof(ChangeParams, port_name) == 0 && offsetof(ChangeParams, timeout) == 12 &&
              offsetof(ChangeParams, line) == 16);
static_assert(sizeof(WriteStatus) == 4 && offsetof(WriteStatus, acknowledged) == 2);

// The port word is 4 bytes on the host's platform and on Linux, so the state is
// 552 bytes on both; only 64-bit Windows, whose HANDLE is 8 bytes, differs.
static_assert(sizeof(PortWord) == 4 || sizeof(void *) == 8);
static_assert(offsetof(InstanceState, timeout) == 0);
static_assert(offsetof(InstanceState, port) == 4);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(void *) == 4);
static_assert(sizeof(InstanceState) == 552);
static_assert(offsetof(InstanceState, port_block) == 8 && offsetof(InstanceState, transmit) == 30 &&
              offsetof(InstanceState, receive) == 286 && offsetof(InstanceState, client_id) == 548);
static_assert(sizeof(Request) == 20);
static_assert(offsetof(Request, state) == 0 && offsetof(Request, command) == 4 &&
              offsetof(Request, instance) == 8 && offsetof(Request, host_reserved) == 12 &&
              offsetof(Request, params) == 16);
static_assert(sizeof(PointBlock) == 44);
static_assert(offsetof(PointBlock, address) == 0 && offsetof(PointBlock, panel) == 16 &&
              offsetof(PointBlock, result) == 40);
static_assert(sizeof(DriverInfo) == 32);
static_assert(offsetof(DriverInfo, host_word0) == 0 && offsetof(DriverInfo, name) == 4 &&
              offsetof(DriverInfo, banner) == 8 && offsetof(DriverInfo, state_size) == 12 &&
              offsetof(DriverInfo, host_word16) == 16 && offsetof(DriverInfo, line) == 20 &&
              offsetof(DriverInfo, host_word28) == 28);
static_assert(sizeof(AddressBlock) == 28);
static_assert(offsetof(AddressBlock, address) == 0 && offsetof(AddressBlock, panel) == 24);
#elif defined(__x86_64__)
#if defined(_WIN32)
// The 8-byte HANDLE moves everything after the state's port word by 4.
static_assert(sizeof(PortWord) == 8);
static_assert(sizeof(InstanceState) == 556);
static_assert(offsetof(InstanceState, port_block) == 12 && offsetof(InstanceState, transmit) == 34 &&
              offsetof(InstanceState, receive) == 290 && offsetof(InstanceState, client_id) == 552);
#else
static_assert(sizeof(PortWord) == 4);
static_assert(sizeof(InstanceState) == 552);
static_assert(offsetof(InstanceState, port_block) == 8 && offsetof(InstanceState, transmit) == 30 &&
              offsetof(InstanceState, receive) == 286 && offsetof(InstanceState, client_id) == 548);
#endif
// The records holding pointers are laid out alike on x86-64 Linux and Windows.
static_assert(sizeof(Request) == 28);
static_assert(offsetof(Request, state) == 0 && offsetof(Request, command) == 8 &&
              offsetof(Request, instance) == 12 && offsetof(Request, host_reserved) == 16 &&
              offsetof(Request, params) == 20);
static_assert(sizeof(PointBlock) == 52);
static_assert(offsetof(PointBlock, address) == 0 && offsetof(PointBlock, panel) == 20 &&
              offsetof(PointBlock, result) == 44);
static_assert(sizeof(DriverInfo) == 40);
static_assert(offsetof(DriverInfo, host_word0) == 0 && offsetof(DriverInfo, name) == 4 &&
              offsetof(DriverInfo, banner) == 12 && offsetof(DriverInfo, state_size) == 20 &&
              offsetof(DriverInfo, host_word16) == 24 && offsetof(DriverInfo, line) == 28 &&
              offsetof(DriverInfo, host_word28) == 36);
static_assert(sizeof(AddressBlock) == 32);
static_assert(offsetof(AddressBlock, address) == 0 && offsetof(AddressBlock, panel) == 28);
#else
#error "the host records are laid out for i686 Windows, x86-64 Windows and x86-64 Linux only"
#endif

}  // namespace vuzov

#endif
