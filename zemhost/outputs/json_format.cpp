// The JSON output: one object per event, "event" and "t" first, then the
// event's own members.
#include "events/event_text.h"
#include "outputs/event_writer.h"
#include "outputs/json_text.h"

namespace zemhost {

std::string JsonFormat(const Event &event) {
  const auto named = [&](const char *name) {
    return JsonObject().Raw("event", "\"" + std::string(name) + "\"").Raw("t", Seconds(event.time));
  };
  return std::visit(
      Overloaded{
          [&](const GateStored &gate) {
            if (!gate.changed) return std::string();
            return named("gate").Text("name", gate.name).Raw("value", FormatValue(gate.value)).Close();
          },
          [&](const LogLine &line) {
            return named("log").Number("level", line.level).Text("text", line.text).Close();
          },
          [&](const PollDone &poll) {
            JsonObject object = named("exchange");
            object.Number("instance", event.instance).Raw("command", "\"read\"");
            object.Text("point", poll.point).Number("result", poll.result);
            if (poll.result == 0) object.Number("value", poll.value);
            return object.Close();
          },
          [&](const CommandDone &command) {
            return named("command").Number("instance", event.instance).Text("point", command.point)
                .Number("result", command.result).Bool("acknowledged", command.acknowledged)
                .Close();
          },
          [&](const LinkChanged &change) {
            return named("link").Number("instance", event.instance)
                .Text("state", LinkStateName(change.state)).Text("why", change.why).Close();
          },
          [&](const TraceFrame &frame) {
            if (frame.bytes.empty()) return std::string();
            return named("trace").Number("instance", event.instance)
                .Raw("from", frame.from_driver ? "\"driver\"" : "\"panel\"")
                .Text("hex", HexBytes(frame.bytes.data(), frame.bytes.size()))
                .Close();
          },
          [&](const TraceNote &note) {
            return named("trace").Number("instance", event.instance).Text("note", note.text).Close();
          },
          [&](const Notice &notice) { return named("notice").Text("text", notice.text).Close(); },
          [&](const DriverShown &driver) {
            return named("driver").Text("module", driver.module_file).Text("name", driver.name)
                .Text("banner", driver.banner).Number("state_size", driver.state_size)
                .Number("baud", driver.baud).Text("framing", driver.framing)
                .Close();
          },
          [&](const InstanceShown &shown) {
            JsonObject object = named("instance");
            object.Number("instance", event.instance).Text("port", shown.port);
            object.Bool("simulated", !shown.scenario.empty());
            if (!shown.scenario.empty()) object.Text("scenario", shown.scenario);
            return object.Text("description", shown.description).Close();
          },
          [&](const RunEnded &end) {
            return named("end").Number("exchanges", end.exchanges).Number("failures", end.failures)
                .Number("commands", end.commands).Number("acknowledged", end.acknowledged)
                .Close();
          },
          // The label and the gates are the line output's header; a JSON
          // reader finds both in the instance events.
          [](const auto &) { return std::string(); },
      },
      event.body);
}

}  // namespace zemhost
