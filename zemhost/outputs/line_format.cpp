// The line output: the run's header as a block, then one line per event,
// seconds since the start first ("  2.113 CP1Z3 = 1").
#include "events/event_text.h"
#include "outputs/event_writer.h"

namespace zemhost {
namespace {

std::string Instance(const Event &event) { return std::to_string(event.instance); }

std::string DriverBlock(const DriverShown &driver) {
  return Shown(driver.banner) + "\n\n" +
         "module      " + driver.module_file + "\n" +
         "driver      \"" + Shown(driver.name) + "\"\n" +
         "state size  " + std::to_string(driver.state_size) + " bytes\n" +
         "defaults    " + std::to_string(driver.baud) + " baud, " + driver.framing;
}

}  // namespace

std::string LineFormat(const Event &event) {
  const std::string at = Seconds(event.time) + " ";
  return std::visit(
      Overloaded{
          [&](const GateStored &gate) {
            if (!gate.changed) return std::string();
            return at + Shown(gate.name) + " = " + FormatValue(gate.value);
          },
          [&](const LogLine &line) {
            return at + "log " + std::to_string(line.level) + " " + Shown(line.text);
          },
          [&](const PollDone &poll) {
            if (poll.result == 0) return std::string();
            return at + "instance " + Instance(event) + " read " + Shown(poll.point) +
                   " failed: result " + std::to_string(poll.result);
          },
          [&](const CommandDone &command) {
            return at + "instance " + Instance(event) + " command " + Shown(command.point) + " " +
                   CommandOutcome(command);
          },
          [&](const LinkChanged &change) {
            return at + "instance " + Instance(event) + " link " + LinkStateName(change.state) +
                   ": " + Shown(change.why);
          },
          [&](const TraceFrame &frame) {
            if (frame.bytes.empty()) return std::string();
            const std::string hex = HexBytes(frame.bytes.data(), frame.bytes.size());
            return at + "trace " + Instance(event) + " " +
                   (frame.from_driver ? "[" + hex + "]" : "<" + hex + ">");
          },
          [&](const TraceNote &note) {
            return at + "trace " + Instance(event) + " ! " + Shown(note.text);
          },
          [&](const Notice &notice) { return at + "zemhost: " + Shown(notice.text); },
          [&](const SimulatedLabel &label) { return label.text; },
          [&](const DriverShown &driver) { return DriverBlock(driver); },
          [&](const InstanceShown &shown) {
            return "instance " + Instance(event) + "  " + shown.description;
          },
          [&](const GatesShown &gates) { return "gates       " + gates.text + "\n"; },
          [&](const RunEnded &end) { return at + "zemhost: " + RunSummary(end); },
      },
      event.body);
}

}  // namespace zemhost
