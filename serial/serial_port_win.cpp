// The serial port layer on Win32: the platform's serial calls, step for step.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial_port.h"

namespace vuzov {
namespace {

constexpr std::uint32_t kPurgeTimeoutUnits = 5;
constexpr DWORD kPurgeChunk = 512;
constexpr DWORD kQueueSize = 1200;
constexpr char kErrorChar = static_cast<char>(0xFC);

HANDLE ToHandle(PortWord port) { return static_cast<HANDLE>(port); }

bool IsNullDevice(const char *name) { return std::strcmp(name, "NUL") == 0; }

// COM1..COM9 open by their plain names; from COM10 on, Windows only knows them
// in the device namespace.
std::string DeviceNameFor(const char *name) {
  if (ComPortNumber(name) >= 10) return std::string("\\\\.\\") + name;
  return name;
}

// Closes a half-opened port, keeping the error that made the open fail.
void CloseKeepingError(HANDLE handle) {
  const DWORD saved = GetLastError();
  CloseHandle(handle);
  SetLastError(saved);
}

void ApplyLineModes(DCB *dcb, std::uint16_t flags) {
  switch (DtrModeFor(flags)) {
    case DtrMode::kOn: dcb->fDtrControl = DTR_CONTROL_ENABLE; break;
    case DtrMode::kHandshake: dcb->fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    case DtrMode::kOff: dcb->fDtrControl = DTR_CONTROL_DISABLE; break;
  }
  switch (RtsModeFor(flags)) {
    case RtsMode::kOn: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case RtsMode::kHandshake: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case RtsMode::kToggle: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    case RtsMode::kOff: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
  }
}

// The driver's line discipline on top of what the port reported; fields not
// named here keep the values read.
void ApplyLineSettings(DCB *dcb, const LineSettings &line, std::uint16_t flags) {
  dcb->BaudRate = line.baud;
  dcb->fBinary = TRUE;
  dcb->fParity = TRUE;
  dcb->fOutxCtsFlow = FALSE;
  dcb->fOutxDsrFlow = FALSE;
  dcb->fDsrSensitivity = FALSE;
  ApplyLineModes(dcb, flags);
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fErrorChar = FALSE;
  dcb->fNull = FALSE;
  dcb->fAbortOnError = FALSE;
  dcb->ByteSize = static_cast<BYTE>(line.data_bits & 0xFF);
  dcb->Parity = static_cast<BYTE>(line.parity & 0xFF);
  dcb->StopBits = static_cast<BYTE>(line.stop_bits & 0xFF);
  dcb->ErrorChar = kErrorChar;
}

}  // namespace

std::uint32_t OpenPort(const char *name, const LineSettings &line, std::uint16_t flags,
                       PortWord *port) {
  if (name == nullptr || port == nullptr) return kPortOpenFailed;
  *port = nullptr;
  const std::string device = DeviceNameFor(name);
  HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kPortOpenFailed;
  if (IsNullDevice(name)) {
    *port = handle;
    return kPortOpened;
  }
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) {
    CloseKeepingError(handle);
    return kPortStateUnreadable;
  }
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = kOpeningReadTimeout * 10;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  if (!SetCommTimeouts(handle, &timeouts)) {
    CloseKeepingError(handle);
    return kPortOpenFailed;
  }
  ApplyLineSettings(&dcb, line, flags);
  if (!SetCommState(handle, &dcb)) {
    CloseKeepingError(handle);
    return kPortStateRejected;
  }
  SetupComm(handle, kQueueSize, kQueueSize);
  *port = handle;
  return kPortOpened;
}

std::uint32_t ClosePort(PortWord port) { return CloseHandle(ToHandle(port)) ? kOk : kIoFailed; }

std::uint32_t SetReadTimeout(PortWord port, std::uint32_t timeout_units) {
  COMMTIMEOUTS timeouts;
  if (!GetCommTimeouts(ToHandle(port), &timeouts)) return 0;
  const DWORD previous = timeouts.ReadTotalTimeoutConstant;
  const DWORD wanted = static_cast<DWORD>(timeout_units * 10u);  // wraps in 32 bits
  if (previous != wanted) {
    timeouts.ReadTotalTimeoutConstant = wanted;
    if (!SetCommTimeouts(ToHandle(port), &timeouts)) return 0;
  }
  return previous / 10u;
}

std::uint32_t PurgePort(PortWord port) {
  HANDLE handle = ToHandle(port);
  DWORD errors = 0;
  COMSTAT status;
  std::memset(&status, 0, sizeof status);
  bool last_ok = ClearCommError(handle, &errors, &status) == TRUE;
  if (!last_ok || status.cbInQue > 0) {
    const std::uint32_t previous = SetReadTimeout(port, kPurgeTimeoutUnits);
    char scratch[kPurgeChunk];
    for (;;) {
      DWORD got = 0;
      last_ok = ReadFile(handle, scratch, kPurgeChunk, &got, nullptr) == TRUE;
      if (!last_ok || got != kPurgeChunk) break;
    }
    // Restoring the timeout must not replace the error of a failed read.
    const DWORD saved = GetLastError();
    if (previous != 0) SetReadTimeout(port, previous);
    SetLastError(saved);
  }
  return last_ok ? 0 : 1;
}

std::uint32_t WriteAll(PortWord port, const void *bytes, std::uint32_t count,
                       std::uint32_t *written) {
  DWORD sent = 0;
  if (!WriteFile(ToHandle(port), bytes, count, &sent, nullptr)) return kIoFailed;
  if (written != nullptr) *written = sent;
  return sent == count ? kOk : kShortWrite;
}

std::uint32_t ReadExact(PortWord port, void *buffer, std::uint32_t count, std::uint32_t *got) {
  auto *data = static_cast<std::uint8_t *>(buffer);
  if (got != nullptr) *got = 0;
  std::uint32_t total = 0;
  while (total < count) {
    DWORD read_now = 0;
    // The thread's last error stays the failed read's for the caller: nothing
    // runs between the call and the return.
    if (!ReadFile(ToHandle(port), data + total, count - total, &read_now, nullptr)) {
      return kIoFailed;
    }
    if (read_now == 0) return kIoFailed;  // the read timeout expired
    total += read_now;
    if (got != nullptr) *got = total;
  }
  return kOk;
}

}  // namespace vuzov
