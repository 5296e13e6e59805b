// A small working host runtime: message clients that block their waiters, a
// thread-safe table of named gates, and a log that hands each line to the host.
#include "qarpro.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Message = std::array<unsigned char, 24>;

struct Client {
  std::string name;
  std::deque<Message> queue;
};

struct Gate {
  std::string name;
  double value = 0.0;
  std::uint32_t stores = 0;
};

struct Runtime {
  std::mutex mutex;
  std::condition_variable message_posted;
  std::map<std::uint8_t, Client> clients;
  std::uint32_t failing_creations = 0;

  std::vector<Gate> gates;  // gate id n is gates[n - 1]
  std::unordered_map<std::string, std::uint32_t> gate_ids;
  bool discovery = false;
  std::atomic<std::uint64_t> lookups{0};

  // Sinks are called under these, so that a host that replaces a sink knows no
  // call of the old one is still running. A sink must not log or store itself.
  std::mutex log_sink_mutex;
  std::mutex gate_sink_mutex;
  QarLogSink log_sink = nullptr;
  void *log_user = nullptr;
  QarGateSink gate_sink = nullptr;
  void *gate_user = nullptr;
};

Runtime &TheRuntime() {
  static Runtime runtime;
  return runtime;
}

// Adds a gate unless it exists; the caller holds the lock.
std::uint32_t AddGateLocked(Runtime &rt, const std::string &name) {
  auto found = rt.gate_ids.find(name);
  if (found != rt.gate_ids.end()) return found->second;
  rt.gates.push_back(Gate{name, 0.0, 0});
  const auto id = static_cast<std::uint32_t>(rt.gates.size());
  rt.gate_ids.emplace(name, id);
  return id;
}

void WriteToStderr(std::int32_t level, const char *line) {
  (void)std::fprintf(stderr, "[%d] %s\n", static_cast<int>(level), line);
}

}  // namespace

extern "C" {

uint16_t QarMkClient(const char *name, int32_t, int32_t, void *client_id_slot) {
  if (name == nullptr || client_id_slot == nullptr) return 1;
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  if (rt.failing_creations > 0) {
    --rt.failing_creations;
    return 2;
  }
  for (unsigned id = 1; id <= 255; ++id) {
    const auto key = static_cast<std::uint8_t>(id);
    if (rt.clients.count(key) != 0) continue;
    rt.clients.emplace(key, Client{name, {}});
    std::memcpy(client_id_slot, &key, 1);
    return 0;
  }
  return 3;  // every id is taken
}

uint16_t QarWaitMsg(uint8_t client, void *message24, int32_t arg) {
  Runtime &rt = TheRuntime();
  std::unique_lock<std::mutex> lock(rt.mutex);
  auto found = rt.clients.find(client);
  if (found == rt.clients.end()) {
    // Not a live client. Pause before answering, so that a caller that retries at
    // once does not spin the processor.
    if (arg == 1) rt.message_posted.wait_for(lock, std::chrono::milliseconds(100));
    return 3;
  }
  if (arg == 1) {
    rt.message_posted.wait(lock, [&] {
      auto now = rt.clients.find(client);
      return now == rt.clients.end() || !now->second.queue.empty();
    });
    found = rt.clients.find(client);
    if (found == rt.clients.end()) return 3;
  } else if (found->second.queue.empty()) {
    return 1;
  }
  if (message24 != nullptr) std::memcpy(message24, found->second.queue.front().data(), 24);
  found->second.queue.pop_front();
  return 0;
}

uint16_t QarRmClient(uint8_t client) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  const bool removed = rt.clients.erase(client) != 0;
  rt.message_posted.notify_all();
  return removed ? 0 : 1;
}

uint16_t QarGetGateId(uint8_t, const char *name, uint32_t *gate_id) {
  Runtime &rt = TheRuntime();
  rt.lookups.fetch_add(1, std::memory_order_relaxed);
  if (name == nullptr || gate_id == nullptr) return 1;
  std::lock_guard<std::mutex> lock(rt.mutex);
  auto found = rt.gate_ids.find(name);
  if (found != rt.gate_ids.end()) {
    *gate_id = found->second;
    return 0;
  }
  if (!rt.discovery) return 1;
  *gate_id = AddGateLocked(rt, name);
  return 0;
}

uint16_t QarPutGateVal(uint8_t client, uint32_t gate_id, int32_t, double value, int32_t,
                       int32_t) {
  Runtime &rt = TheRuntime();
  std::string name;
  {
    std::lock_guard<std::mutex> lock(rt.mutex);
    if (gate_id == 0 || gate_id > rt.gates.size()) return 1;
    Gate &gate = rt.gates[gate_id - 1];
    gate.value = value;
    ++gate.stores;
    name = gate.name;
  }
  // Outside the table's lock, so the sink may read the table.
  std::lock_guard<std::mutex> sink_lock(rt.gate_sink_mutex);
  if (rt.gate_sink != nullptr) rt.gate_sink(rt.gate_user, client, gate_id, name.c_str(), value);
  return 0;
}

void err(int32_t level, const char *format, ...) {
  if (format == nullptr) return;
  // The arguments are walked twice, once to size the line and once to print it.
  va_list sizing;
  va_start(sizing, format);
  const int length = std::vsnprintf(nullptr, 0, format, sizing);
  va_end(sizing);
  std::string line;
  if (length > 0) {
    line.resize(static_cast<std::size_t>(length) + 1);
    va_list args;
    va_start(args, format);
    (void)std::vsnprintf(&line[0], line.size(), format, args);
    va_end(args);
    line.resize(static_cast<std::size_t>(length));
  }

  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> sink_lock(rt.log_sink_mutex);
  if (rt.log_sink != nullptr) {
    rt.log_sink(rt.log_user, level, line.c_str());
  } else {
    WriteToStderr(level, line.c_str());
  }
}

void QarHostSetLogSink(QarLogSink sink, void *user) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.log_sink_mutex);
  rt.log_sink = sink;
  rt.log_user = user;
}

void QarHostSetGateSink(QarGateSink sink, void *user) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.gate_sink_mutex);
  rt.gate_sink = sink;
  rt.gate_user = user;
}

uint32_t QarHostAddGate(const char *name) {
  if (name == nullptr) return 0;
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  return AddGateLocked(rt, name);
}

void QarHostSetDiscovery(int32_t on) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  rt.discovery = on != 0;
}

uint32_t QarHostGateCount(void) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  return static_cast<uint32_t>(rt.gates.size());
}

uint16_t QarHostGetGate(uint32_t gate_id, char *name, uint32_t name_size, double *value,
                        uint32_t *stores) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  if (gate_id == 0 || gate_id > rt.gates.size()) return 1;
  const Gate &gate = rt.gates[gate_id - 1];
  if (name != nullptr && name_size > 0) {
    (void)std::snprintf(name, name_size, "%s", gate.name.c_str());
  }
  if (value != nullptr) *value = gate.value;
  if (stores != nullptr) *stores = gate.stores;
  return 0;
}

uint16_t QarHostFindGate(const char *name, uint32_t *gate_id) {
  if (name == nullptr) return 1;
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  auto found = rt.gate_ids.find(name);
  if (found == rt.gate_ids.end()) return 1;
  if (gate_id != nullptr) *gate_id = found->second;
  return 0;
}

uint64_t QarHostLookupCount(void) { return TheRuntime().lookups.load(); }

void QarHostFailClientCreation(uint32_t count) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  rt.failing_creations = count;
}

uint16_t QarHostFindClient(const char *name, uint8_t *client) {
  if (name == nullptr) return 1;
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  for (const auto &entry : rt.clients) {
    if (entry.second.name != name) continue;
    if (client != nullptr) *client = entry.first;
    return 0;
  }
  return 1;
}

uint32_t QarHostClientCount(void) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  return static_cast<uint32_t>(rt.clients.size());
}

uint16_t QarHostPostMsg(uint8_t client, const void *message24) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  auto found = rt.clients.find(client);
  if (found == rt.clients.end()) return 1;
  Message message{};
  if (message24 != nullptr) std::memcpy(message.data(), message24, message.size());
  found->second.queue.push_back(message);
  rt.message_posted.notify_all();
  return 0;
}

void QarHostPostAll(void) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  for (auto &entry : rt.clients) entry.second.queue.push_back(Message{});
  rt.message_posted.notify_all();
}

void QarHostReset(void) {
  Runtime &rt = TheRuntime();
  std::lock_guard<std::mutex> lock(rt.mutex);
  rt.clients.clear();
  rt.failing_creations = 0;
  rt.gates.clear();
  rt.gate_ids.clear();
  rt.discovery = false;
  rt.lookups.store(0);
  rt.message_posted.notify_all();
}

}  // extern "C"
