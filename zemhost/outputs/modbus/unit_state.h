// What one unit (one instance) of the Modbus server shows: the run's events
// for the instance kept as the register map lays them out. The reporting
// threads write it (Take), the server's thread copies from it for each
// request, each under the unit's own lock and for no longer than a copy, so a
// client's read never waits for the panel and a poll never waits for a client.
#ifndef VUZOV_ZEMHOST_MODBUS_UNIT_STATE_H
#define VUZOV_ZEMHOST_MODBUS_UNIT_STATE_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "events/event.h"

namespace zemhost::modbus {

using Clock = std::chrono::steady_clock;

class UnitState {
 public:
  // `panel` until the instance is shown; `zones` of the map; `commands` taken.
  UnitState(int instance, int panel, int zones, bool commands);
  UnitState(const UnitState &) = delete;
  UnitState &operator=(const UnitState &) = delete;

  int instance() const { return instance_; }

  // ---- From the reporting threads --------------------------------------------
  void Shown(int panel);
  // A gate the driver stored. Returns the words to say once when it is the
  // first report of this unit the map cannot show; empty otherwise.
  std::string Gate(const std::string &name, double value);
  void Exchanged(bool answered, Clock::time_point now);
  // The run's one rule for the panel link (the hub's LinkChanged) says so.
  void LinkIs(LinkState state);
  void CommandDone(std::uint32_t ticket, std::uint32_t result, bool acknowledged);

  // ---- From the server's thread; the span lies within the table ----------------
  void CopyInputRegisters(int first, int count, Clock::time_point now, std::uint16_t *out) const;
  void CopyDiscreteInputs(int first, int count, std::uint8_t *out) const;
  void CopyHoldingRegisters(int first, int count, std::uint16_t *out) const;
  // A command written (code 1 to 3) that goes to the panel with `ticket`.
  void CommandTaken(std::uint16_t code, std::uint32_t ticket);

 private:
  struct Event {
    std::uint32_t count = 0;
    std::uint16_t kind = 0;
    std::uint16_t type = 0;
    std::int32_t zone = 0;
    std::int32_t element = 0;
    std::uint32_t value = 0;
  };

  // The caller holds mutex_.
  void Zone(std::int32_t zone, std::uint32_t value);
  std::string Outside(const std::string &name);
  std::uint16_t PanelRegister(int address, Clock::time_point now) const;

  const int instance_;
  const int zones_;
  const bool commands_;

  mutable std::mutex mutex_;
  int panel_;
  std::vector<std::uint16_t> words_;  // by zone, 0 unused
  std::vector<std::uint8_t> alarms_;  // by zone, 0 unused
  std::uint16_t zones_in_alarm_ = 0;
  std::uint32_t outside_ = 0;
  bool outside_said_ = false;
  std::uint32_t exchanges_ = 0;
  std::uint32_t failures_ = 0;
  LinkState link_ = LinkState::kUnknown;
  std::optional<Clock::time_point> last_answer_;
  std::optional<std::uint8_t> message_type_;
  std::uint8_t message_state_ = 0;
  Event event_;
  std::uint16_t sequence_ = 0;
  std::uint16_t result_ = 0;
  std::uint16_t result_command_ = 0;
  std::uint32_t result_ticket_ = 0;
};

}  // namespace zemhost::modbus

#endif
