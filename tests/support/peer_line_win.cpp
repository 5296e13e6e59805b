#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "peer_line.h"

namespace vuzov_test {
namespace {

// The launcher links two ptys and maps them to the COM ports named in
// VUZOV_TEST_PORT (the driver's) and VUZOV_TEST_PEER (the panel's).
std::string FromEnvironment(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}

class ComPeer : public PeerLine {
 public:
  ComPeer(HANDLE handle, std::string driver_port)
      : handle_(handle), driver_port_(std::move(driver_port)) {}
  ~ComPeer() override { CloseHandle(handle_); }

  std::string DriverPortName() const override { return driver_port_; }

  bool Write(const std::vector<std::uint8_t> &bytes) override {
    DWORD sent = 0;
    return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &sent, nullptr) &&
           sent == bytes.size();
  }

  std::vector<std::uint8_t> Read(std::size_t count, int timeout_ms) override {
    std::vector<std::uint8_t> bytes;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
    SetCommTimeouts(handle_, &timeouts);
    bytes.resize(count);
    DWORD got = 0;
    if (!ReadFile(handle_, bytes.data(), static_cast<DWORD>(count), &got, nullptr)) got = 0;
    bytes.resize(got);
    return bytes;
  }

  bool HangUpEndsReadsAtOnce() const override { return false; }

  // Asks the launcher to take the driver's line away; the panel side stays.
  void HangUp() override {
    const std::string request = FromEnvironment("VUZOV_TEST_HANGUP");
    HANDLE file = CreateFileA(request.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    CloseHandle(file);
    // The launcher removes the request once the line is gone.
    for (int i = 0; i < 200 && GetFileAttributesA(request.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) {
      Sleep(10);
    }
  }

 private:
  HANDLE handle_;
  std::string driver_port_;
};

}  // namespace

std::unique_ptr<PeerLine> PeerLine::Create(std::string *error) {
  const std::string driver_port = FromEnvironment("VUZOV_TEST_PORT");
  const std::string peer_port = FromEnvironment("VUZOV_TEST_PEER");
  if (driver_port.empty() || peer_port.empty()) {
    if (error != nullptr) *error = "VUZOV_TEST_PORT / VUZOV_TEST_PEER are not set";
    return nullptr;
  }
  // COM10 and above open only by their device path; the path works for all.
  const std::string device = "\\\\.\\" + peer_port;
  HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = "cannot open " + peer_port + ": " + std::to_string(GetLastError());
    return nullptr;
  }
  // The panel's side of the line is raw too: no echo, no translation, no flow control.
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  GetCommState(handle, &dcb);
  dcb.BaudRate = 9600;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(handle, &dcb)) {
    if (error != nullptr) *error = "cannot set up " + peer_port;
    CloseHandle(handle);
    return nullptr;
  }
  // Whatever an earlier test left on the line is not this test's.
  PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return std::make_unique<ComPeer>(handle, driver_port);
}

std::size_t InputWaiting(const void *port_word) {
  HANDLE handle = nullptr;
  std::memcpy(&handle, port_word, sizeof handle);
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle, &errors, &status)) return 0;
  return status.cbInQue;
}

bool SendOnDriverPort(const void *port_word, const std::vector<std::uint8_t> &bytes) {
  HANDLE handle = nullptr;
  std::memcpy(&handle, port_word, sizeof handle);
  DWORD written = 0;
  return WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::size_t OpenHandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

}  // namespace vuzov_test
