#include "outputs/modbus/tcp_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "outputs/modbus/register_map.h"

namespace zemhost::modbus {
namespace {

// Connections the kernel holds until the server takes them (not its
// descriptors): as many as the system allows, so that a burst of them is
// refused by the server, at once, and not left by the kernel to retry.
constexpr int kBacklog = SOMAXCONN;
// Connections taken per wake-up, so a flood leaves time for the clients.
constexpr int kAcceptsPerTurn = 64;
// Reads of one client per wake-up, so a client that keeps sending cannot
// keep the others waiting.
constexpr int kReadsPerTurn = 4;
// The server thread's nice value: below the panels' pollers.
constexpr int kServerNice = 10;
// After running out of descriptors: a pause before trying to accept again.
constexpr std::chrono::milliseconds kAcceptPause{100};

std::string AddressText(const sockaddr_storage &address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
  }
  const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
  if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
    inet_ntop(AF_INET, v6.sin6_addr.s6_addr + 12, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v6.sin6_port));
  }
  inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
  return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
}

std::string ListenText(const std::string &host, int port) {
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return shown + ":" + std::to_string(port);
}

// Why a listen failed, with what a user can do about the common causes.
std::string ListenProblem(const std::string &where, int saved_errno) {
  std::string text = "cannot serve Modbus TCP on " + where + ": " + modbus_strerror(saved_errno);
  if (saved_errno == EACCES) text += " (a port below 1024 needs root or CAP_NET_BIND_SERVICE)";
  if (saved_errno == EADDRINUSE) text += " (another program listens there)";
  return text;
}

}  // namespace

void TcpService::ContextDeleter::operator()(_modbus *context) const {
  // The sockets are ours: libmodbus only borrows one for each reply.
  modbus_set_socket(context, -1);
  modbus_free(context);
}

void TcpService::MappingDeleter::operator()(_modbus_mapping_t *mapping) const {
  modbus_mapping_free(mapping);
}

TcpService::TcpService(ServiceSettings settings,
                       const std::vector<std::unique_ptr<UnitState>> &units,
                       CommandWritten command_written, ServerNotes &notes)
    : settings_(std::move(settings)),
      units_(units),
      command_written_(std::move(command_written)),
      notes_(notes) {}

TcpService::~TcpService() { Stop(); }

bool TcpService::Open(std::string *error) {
  const ServedTables &tables = settings_.tables;
  mapping_.reset(modbus_mapping_new_start_address(0, 0, 0, tables.discrete_inputs, 0,
                                                  tables.holding_registers, 0,
                                                  tables.input_registers));
  int pipe_ends[2];
  if (!mapping_ || pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot set up the Modbus server: ") + std::strerror(errno);
    return false;
  }
  wake_read_.reset(pipe_ends[0]);
  wake_write_.reset(pipe_ends[1]);
  const std::string &host = settings_.listen.host;
  if (!host.empty()) return Listen(host, error);
  // Every address: IPv6 and IPv4 on one socket where the machine has IPv6.
  if (Listen("::", error)) return true;
  const int saved = errno;
  if (saved != EAFNOSUPPORT && saved != EADDRNOTAVAIL) return false;
  return Listen("0.0.0.0", error);
}

bool TcpService::Listen(const std::string &host, std::string *error) {
  const std::string port = std::to_string(settings_.listen.port);
  const std::string where = ListenText(host, settings_.listen.port);
  context_.reset(modbus_new_tcp_pi(host.c_str(), port.c_str()));
  if (!context_) {
    const int saved = errno;
    *error = ListenProblem(where, saved);
    errno = saved;
    return false;
  }
  const int fd = modbus_tcp_pi_listen(context_.get(), kBacklog);
  const int saved = errno;
  modbus_set_socket(context_.get(), -1);
  if (fd < 0) {
    *error = ListenProblem(where, saved);
    errno = saved;
    return false;
  }
  listener_.reset(fd);
  // Taken until none waits: a blocking accept would hold the thread.
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
    const int failed = errno;
    *error = ListenProblem(where, failed);
    errno = failed;
    return false;
  }
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size);
  const std::string text = AddressText(bound);
  where_ = text.rfind("[::]", 0) == 0 ? ":" + text.substr(text.rfind(':') + 1) : text;
  return true;
}

// Clients that read as fast as they can keep this thread busy; the panels'
// pollers must not wait behind it for a processor, or a reply would outlast
// a short read timeout. A lower share of the processors costs a client some
// microseconds a read.
void TcpService::YieldToThePanelLinks() {
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kServerNice) != 0) {
    notes_.Note(NoteKind::kOnce, std::string("the server runs at the normal priority: ") +
                                     std::strerror(errno));
  }
}

void TcpService::Start() {
  thread_ = std::thread([this] { Run(); });
}

void TcpService::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  const std::uint8_t byte = 1;
  // A full pipe already holds a wake-up, so a failed write loses none.
  if (write(wake_write_.get(), &byte, 1) < 0 && errno != EAGAIN) {
    notes_.Note(NoteKind::kTrouble, std::string("cannot wake the server: ") + std::strerror(errno));
  }
  thread_.join();
  clients_.clear();
}

void TcpService::Run() {
  YieldToThePanelLinks();
  std::vector<pollfd> watched;
  while (!stopping_) {
    const Clock::time_point before = Clock::now();
    const bool accepting = before >= accept_again_at_;
    watched.clear();
    watched.push_back(pollfd{wake_read_.get(), POLLIN, 0});
    watched.push_back(pollfd{listener_.get(), static_cast<short>(accepting ? POLLIN : 0), 0});
    for (const auto &client : clients_) watched.push_back(pollfd{client->fd.get(), POLLIN, 0});
    if (poll(watched.data(), watched.size(), MillisToNextDeadline(before)) < 0 && errno != EINTR) {
      notes_.Note(NoteKind::kTrouble, std::string("poll failed: ") + std::strerror(errno));
    }
    const Clock::time_point now = Clock::now();
    // The clients first: the pollfd entries follow them in order.
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      if (watched[i + 2].revents != 0) Serve(*clients_[i], now);
    }
    if ((watched[1].revents & POLLIN) != 0) AcceptWaiting(now);
    DropOverdue(now);
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [](const auto &client) { return client->closed; }),
                   clients_.end());
  }
}

int TcpService::MillisToNextDeadline(Clock::time_point now) const {
  Clock::time_point next = now + settings_.idle_timeout;
  if (now < accept_again_at_) next = std::min(next, accept_again_at_);
  for (const auto &client : clients_) {
    next = std::min(next, client->framer.Empty()
                              ? client->last_request + settings_.idle_timeout
                              : client->request_began + settings_.request_timeout);
  }
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  // A millisecond more than the deadline, so it has passed when poll returns.
  return static_cast<int>(std::clamp<long long>(wait + 1, 0, 60000));
}

void TcpService::AcceptWaiting(Clock::time_point now) {
  for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int fd = accept4(listener_.get(), reinterpret_cast<sockaddr *>(&peer), &size,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int saved = errno;
      if (saved == EAGAIN || saved == EWOULDBLOCK) return;
      if (saved == EMFILE || saved == ENFILE || saved == ENOBUFS || saved == ENOMEM) {
        notes_.Note(NoteKind::kTrouble, std::string("cannot take a connection: ") +
                                            std::strerror(saved) + "; trying again shortly");
        accept_again_at_ = now + kAcceptPause;
        return;
      }
      continue;  // the client gave up before it was taken (ECONNABORTED, ...)
    }
    panelsim::UniqueFd connection(fd);
    const std::string text = AddressText(peer);
    if (!Allowed(peer)) {
      notes_.Note(NoteKind::kRefused, "refused " + text + ": not an address --modbus-allow lets in");
      continue;
    }
    if (clients_.size() >= static_cast<std::size_t>(settings_.max_clients)) {
      notes_.Note(NoteKind::kRefused, "refused " + text + ": " +
                                          std::to_string(settings_.max_clients) +
                                          " clients are connected (--modbus-max-clients)");
      continue;
    }
    // A reply goes out at once, not held back for the next one.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto client = std::make_unique<Client>();
    client->fd = std::move(connection);
    client->peer = text;
    client->last_request = now;
    clients_.push_back(std::move(client));
  }
}

bool TcpService::Allowed(const sockaddr_storage &peer) const {
  if (settings_.allow.empty()) return true;
  const bool ipv6 = peer.ss_family == AF_INET6;
  const std::uint8_t *bytes =
      ipv6 ? reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr.s6_addr
           : reinterpret_cast<const std::uint8_t *>(
                 &reinterpret_cast<const sockaddr_in &>(peer).sin_addr.s_addr);
  return std::any_of(settings_.allow.begin(), settings_.allow.end(),
                     [&](const AddressRule &rule) { return RuleMatches(rule, ipv6, bytes); });
}

void TcpService::Serve(Client &client, Clock::time_point now) {
  for (int turn = 0; turn < kReadsPerTurn; ++turn) {
    const bool was_empty = client.framer.Empty();
    const ssize_t got = recv(client.fd.get(), client.framer.Space(), client.framer.Room(), 0);
    if (got == 0) {
      client.closed = true;  // the client closed the connection: nothing to say
      return;
    }
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EINTR) continue;
      Drop(client, std::strerror(errno));
      return;
    }
    if (was_empty) client.request_began = now;
    client.framer.Added(static_cast<std::size_t>(got));
    if (!AnswerWhole(client, now)) return;
  }
}

bool TcpService::AnswerWhole(Client &client, Clock::time_point now) {
  for (;;) {
    std::size_t length = 0;
    std::string why;
    switch (client.framer.Look(&length, &why)) {
      case RequestFramer::Status::kPartial:
        return true;
      case RequestFramer::Status::kBroken:
        Drop(client, "sent " + why);
        return false;
      case RequestFramer::Status::kWhole:
        break;
    }
    if (!Answer(client, client.framer.Front(), length, now)) return false;
    client.framer.Consume(length);
    client.last_request = now;
    client.request_began = now;  // for what follows it, if anything
  }
}

bool TcpService::Answer(Client &client, const std::uint8_t *request, std::size_t length,
                        Clock::time_point now) {
  const Decision decision = Decide(request, length, settings_.tables);
  if (decision.action == Action::kIgnore) return true;
  modbus_t *context = context_.get();
  modbus_set_socket(context, client.fd.get());
  const int request_length = static_cast<int>(length);
  int sent = 0;
  if (decision.action == Action::kException) {
    sent = modbus_reply_exception(context, request, decision.exception);
  } else {
    const UnitState &unit = *units_[static_cast<std::size_t>(decision.instance - 1)];
    switch (decision.action) {
      case Action::kReadDiscrete:
        unit.CopyDiscreteInputs(decision.first, decision.count,
                                mapping_->tab_input_bits + decision.first);
        break;
      case Action::kReadInputs:
        unit.CopyInputRegisters(decision.first, decision.count, now,
                                mapping_->tab_input_registers + decision.first);
        break;
      case Action::kReadHolding:
        unit.CopyHoldingRegisters(decision.first, decision.count,
                                  mapping_->tab_registers + decision.first);
        break;
      case Action::kWriteCommand:
        command_written_(decision.instance, decision.value);
        break;
      default:
        break;
    }
    sent = modbus_reply(context, request, request_length, mapping_.get());
  }
  const int saved = errno;
  modbus_set_socket(context, -1);
  if (sent < 0) {
    Drop(client, saved == EAGAIN || saved == EWOULDBLOCK || saved == EMBBADDATA
                     ? std::string("it does not read its replies")
                     : std::string("a reply could not be sent: ") + modbus_strerror(saved));
    return false;
  }
  return true;
}

void TcpService::Drop(Client &client, const std::string &why) {
  notes_.Note(NoteKind::kDropped, "dropped " + client.peer + ": " + why);
  client.closed = true;
}

void TcpService::DropOverdue(Clock::time_point now) {
  for (const auto &client : clients_) {
    if (client->closed) continue;
    if (!client->framer.Empty() && now - client->request_began >= settings_.request_timeout) {
      Drop(*client, "a request begun was not whole within " +
                        std::to_string(settings_.request_timeout.count()) + " ms");
    } else if (client->framer.Empty() && now - client->last_request >= settings_.idle_timeout) {
      Drop(*client, "sent nothing for " + std::to_string(settings_.idle_timeout.count()) + " ms");
    }
  }
}

}  // namespace zemhost::modbus
