// zemhost: a host for the VUZOV driver module on the bench. It loads the module
// as a SCADA host does, provides the host runtime library, starts one driver
// instance per line, polls the panel from one thread per instance and shows
// what the panel reports.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "outputs/standard_error.h"
#include "cli/options.h"
#include "events/hub.h"
#include "exit_status.h"
#include "module_loader.h"
#include "outputs/event_writer.h"
#include "outputs/live_screen.h"
#include "outputs/modbus/modbus_server.h"
#include "outputs/modbus/register_map.h"
#include "outputs/mqtt/mqtt_gateway.h"
#include "outputs/standard_error.h"
#include "outputs/text_out.h"
#include "platform/platform.h"
#include "run/driver_reports.h"
#include "run/session.h"
#include "service/service_manager.h"
#include "vuzov_version.h"

namespace zemhost {
namespace {

// Where the install rules put the module, relative to the installed zemhost.
constexpr const char kInstalledModuleDir[] = VUZOV_MODULE_DIR_FROM_PROGRAM;

bool FileExists(const std::string &path) { return std::ifstream(path, std::ios::binary).is_open(); }

// The module beside the program, as in a build tree; failing that, the module
// where the installed layout puts it relative to the program (the Debian
// package's library folder, the Windows ZIP's top folder). The beside path is
// the one reported when neither is there.
std::string DefaultModulePath(const char *argv0) {
  std::string self = ProgramPath();
  if (self.empty() && argv0 != nullptr) self = argv0;
  const auto slash = self.find_last_of("/\\");
  const std::string dir = slash == std::string::npos ? std::string(".") : self.substr(0, slash);
  const std::string beside = dir + "/" + vuzov_loader::ModuleFileName();
  const std::string installed =
      dir + "/" + kInstalledModuleDir + "/" + vuzov_loader::ModuleFileName();
  return !FileExists(beside) && FileExists(installed) ? installed : beside;
}

// A module named without a folder is the file in the working directory, as
// with every other file zemhost takes: left to the system's search, a bare
// name would quietly load whichever copy comes first on the library path.
std::string ModuleToLoad(const RunConfig &config, const std::string &default_module) {
  if (config.module_path.empty()) return default_module;
  if (config.module_path.find_first_of("/\\:") != std::string::npos) return config.module_path;
  return "./" + config.module_path;
}

// Where the run shows itself: the live screen on a terminal, lines or JSON on
// standard output, or, under a service manager that gave it the journal for
// standard error and no output was asked for, the journal's lines there.
enum class View { kLiveScreen, kLines, kJson, kJournal };

View ViewOf(const RunConfig &config) {
  if (config.output == OutputMode::kJson) return View::kJson;
  if (config.output == OutputMode::kLines) return View::kLines;
  if (StandardErrorIsJournal()) return View::kJournal;
  // A trace is a stream of lines; it has no place on the live screen's table.
  return StdoutIsTerminal() && !config.trace ? View::kLiveScreen : View::kLines;
}

std::unique_ptr<EventSink> MakeOutput(View view, const Hub &hub, TextOut &out) {
  switch (view) {
    case View::kLiveScreen: return std::make_unique<LiveScreen>(hub, out);
    case View::kJson: return std::make_unique<EventWriter>(out, &JsonFormat);
    case View::kJournal:
      return std::make_unique<EventWriter>(out, &JournalFormat, "standard error");
    case View::kLines: break;
  }
  return std::make_unique<EventWriter>(out, &LineFormat);
}

std::unique_ptr<ModbusServer> StartModbusServer(const RunConfig &config, Hub &hub,
                                                std::string *error) {
  std::vector<ServedInstance> instances;
  for (std::size_t i = 0; i < config.instances.size(); ++i) {
    instances.push_back(ServedInstance{static_cast<int>(i) + 1, config.instances[i].panel});
  }
  return ModbusServer::Start(
      config.modbus, instances, [&hub](const std::string &text) { hub.Report(0, Notice{text}); },
      error);
}

// *output_error: why the run's output failed during the run, 0 if it did
// not; *output_name: which stream that output is.
int RunHost(RunConfig config, const std::string &default_module, int *output_error,
            const char **output_name) {
  std::string error;
  const std::unique_ptr<Console> console = Console::Open(&error);
  if (!console) {
    SayOnStandardError(error);
    return kExitFailure;
  }
  const View view = ViewOf(config);
  const bool live_screen = view == View::kLiveScreen;
  if (live_screen) PrepareTerminalOutput();
  *output_name = view == View::kJournal ? "standard error" : "standard output";
  TextOut out(view == View::kJournal ? stderr : stdout);
  Hub hub(SteadyClock::now());
  const std::unique_ptr<EventSink> output = MakeOutput(view, hub, out);
  hub.AddSink(output.get());
  const std::string path = ModuleToLoad(config, default_module);
  auto module = std::make_unique<vuzov_loader::LoadedModule>(
      vuzov_loader::LoadedModule::Load(path, &error));
  if (!*module) {
    SayOnStandardError("cannot load the driver module " + path + ": " + error);
    return kExitModule;
  }
  // From here on the module's path is the file the system loaded, as shown.
  config.module_path = module->FilePath().empty() ? path : module->FilePath();
  std::unique_ptr<MqttGateway> gateway;
  if (config.mqtt.enabled()) {
    std::vector<GatewayInstance> instances;
    for (std::size_t i = 0; i < config.instances.size(); ++i) {
      const MessageReading reading = ReadingOf(config, config.instances[i]);
      const ZoneAnnouncement zones{!reading.types.Empty(), reading.types.HasFault()};
      instances.push_back(GatewayInstance{static_cast<int>(i) + 1, zones});
    }
    gateway = MqttGateway::Start(
        config.mqtt, instances, [&hub](const std::string &text) { hub.Report(0, Notice{text}); },
        &error);
    if (!gateway) {
      SayOnStandardError(error);
      return kExitBroker;
    }
    hub.AddSink(gateway.get());
  }
  std::unique_ptr<ModbusServer> server;
  if (config.modbus.enabled()) {
    server = StartModbusServer(config, hub, &error);
    if (!server) {
      SayOnStandardError(error);
      if (gateway) {
        hub.RemoveSink(gateway.get());
        gateway->Stop();
      }
      return kExitGateway;
    }
    hub.AddSink(server.get());
  }
  int status = kExitOk;
  bool safe_to_unload = true;
  {
    DriverReports reports(hub);
    Session session(config, *console, hub, out, reports, module->Entry(), live_screen);
    if (gateway) session.AddCommandSource(gateway.get());
    if (server) session.AddCommandSource(server.get());
    status = session.Run();
    safe_to_unload = session.SafeToUnload();
  }
  out.Finish();
  *output_error = out.Error();
  if (server) {
    hub.RemoveSink(server.get());
    server->Stop();
  }
  if (gateway) {
    hub.RemoveSink(gateway.get());
    gateway->Stop();
  }
  if (!safe_to_unload) {
    // Unloading code a thread still runs would crash the process: leave it.
    static_cast<void>(module.release());
    SayOnStandardError("the driver did not shut down cleanly");
    return kExitFailure;
  }
  module->Unload();
  return status;
}

int Main(int argc, char **argv) {
  RunConfig config;
  std::string error;
  if (!ParseCommandLine(argc, argv, &config, &error)) {
    SayOnStandardError(error);
    return kExitUsage;
  }
  if (config.help) {
    PrintHelp(stdout, vuzov_loader::ModuleFileName());
    return kExitOk;
  }
  if (config.version) {
    std::printf("zemhost (VUZOV) %s\n", VUZOV_VERSION);
    return kExitOk;
  }
  if (config.modbus_map) {
    modbus::PrintMapCsv(stdout, config.modbus.zones);
    return std::fflush(stdout) == 0 ? kExitOk : kExitOutput;
  }
  // A sanitizer runtime starts a helper thread of its own with the first
  // thread a program creates. Let it start before any count of threads is
  // taken: the selfcheck's, and the shutdown's wait for the driver's threads,
  // which would otherwise wait for it in vain and keep the module loaded.
  std::thread([] {}).join();
  const std::size_t handles_at_start = CountOpenHandles();
  const std::size_t threads_at_start = CountThreads();
  int output_error = 0;
  const char *output_name = "standard output";
  int status = RunHost(config, DefaultModulePath(argc > 0 ? argv[0] : nullptr), &output_error,
                       &output_name);
  if (output_error != 0 && output_error != EPIPE) {
    SayOnStandardError(std::string("cannot write to ") + output_name + ": " +
                       std::strerror(output_error));
    if (status == kExitOk) status = kExitOutput;
  }
  if (config.selfcheck) {
    const std::size_t handles = CountOpenHandles();
    const std::size_t threads = CountThreads();
    if (handles > handles_at_start || threads > threads_at_start) {
      SayOnStandardError("selfcheck: " +
                         std::to_string(handles - std::min(handles, handles_at_start)) +
                         " descriptors and " +
                         std::to_string(threads - std::min(threads, threads_at_start)) +
                         " threads left behind");
      status = kExitFailure;
    } else {
      SayOnStandardError("selfcheck: no descriptor or thread left behind", Severity::kInfo);
    }
  }
  // The reader went away: after the clean shutdown, end as tools do then.
  if (output_error == EPIPE && status == kExitOk) EndForClosedOutput();
  return status;
}

}  // namespace
}  // namespace zemhost

int main(int argc, char **argv) {
  try {
    return zemhost::Main(argc, argv);
  } catch (const std::exception &failure) {
    std::fprintf(stderr, "%szemhost: %s\n", zemhost::StandardErrorIsJournal() ? "<3>" : "",
                 failure.what());
  } catch (...) {
    std::fprintf(stderr, "%szemhost: unexpected failure\n",
                 zemhost::StandardErrorIsJournal() ? "<3>" : "");
  }
  return 1;
}
