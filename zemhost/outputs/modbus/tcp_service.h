// The Modbus server's network side, on libmodbus and POSIX sockets: one
// thread, one poll() over the listening socket, a wake-up pipe and every
// client. Each client's socket is non-blocking and its bytes are framed here
// (modbus_request.h), so a client that stalls, sends junk or never sends
// anything holds up no other: it is dropped when its request is not whole
// within the request timeout, or when it has sent nothing for the idle
// timeout. libmodbus builds every reply from a copy of the unit's registers
// taken for that request.
#ifndef VUZOV_ZEMHOST_MODBUS_TCP_SERVICE_H
#define VUZOV_ZEMHOST_MODBUS_TCP_SERVICE_H

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/modbus_options.h"
#include "line.h"  // panelsim::UniqueFd
#include "outputs/modbus/modbus_request.h"
#include "outputs/modbus/server_notes.h"
#include "outputs/modbus/unit_state.h"

struct _modbus;
struct _modbus_mapping_t;

namespace zemhost::modbus {

struct ServiceSettings {
  ListenAddress listen;
  ServedTables tables;
  int max_clients = 8;
  std::vector<AddressRule> allow;  // empty: anyone
  std::chrono::milliseconds request_timeout{500};
  std::chrono::milliseconds idle_timeout{60000};
};

// A command a client wrote: instance and code (1 to 3), on the server's thread.
using CommandWritten = std::function<void(int instance, std::uint16_t code)>;

class TcpService {
 public:
  // The units (unit i + 1 at index i), the command's taker and the notes
  // outlive the service.
  TcpService(ServiceSettings settings, const std::vector<std::unique_ptr<UnitState>> &units,
             CommandWritten command_written, ServerNotes &notes);
  ~TcpService();
  TcpService(const TcpService &) = delete;
  TcpService &operator=(const TcpService &) = delete;

  // Listens; false with *error when it cannot.
  bool Open(std::string *error);
  // Where it listens, as "127.0.0.1:1502" or "[::]:1502".
  const std::string &Where() const { return where_; }
  void Start();
  // Closes every connection and joins the thread.
  void Stop();

 private:
  struct Client {
    panelsim::UniqueFd fd;
    std::string peer;
    RequestFramer framer;
    Clock::time_point last_request;  // or the connection's start
    Clock::time_point request_began;  // the first byte of the one in progress
    bool closed = false;
  };
  struct ContextDeleter {
    void operator()(_modbus *context) const;
  };
  struct MappingDeleter {
    void operator()(_modbus_mapping_t *mapping) const;
  };

  bool Listen(const std::string &host, std::string *error);
  void YieldToThePanelLinks();
  void Run();
  int MillisToNextDeadline(Clock::time_point now) const;
  void AcceptWaiting(Clock::time_point now);
  bool Allowed(const sockaddr_storage &peer) const;
  void Serve(Client &client, Clock::time_point now);
  // Answers every whole request buffered; false when the client was dropped.
  bool AnswerWhole(Client &client, Clock::time_point now);
  bool Answer(Client &client, const std::uint8_t *request, std::size_t length,
              Clock::time_point now);
  void Drop(Client &client, const std::string &why);
  void DropOverdue(Clock::time_point now);

  const ServiceSettings settings_;
  const std::vector<std::unique_ptr<UnitState>> &units_;
  const CommandWritten command_written_;
  ServerNotes &notes_;

  std::unique_ptr<_modbus, ContextDeleter> context_;
  std::unique_ptr<_modbus_mapping_t, MappingDeleter> mapping_;  // the server thread's scratch
  panelsim::UniqueFd listener_;
  panelsim::UniqueFd wake_read_;
  panelsim::UniqueFd wake_write_;
  std::string where_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;

  // The server thread's own.
  std::vector<std::unique_ptr<Client>> clients_;
  Clock::time_point accept_again_at_{};  // after running out of descriptors
};

}  // namespace zemhost::modbus

#endif
