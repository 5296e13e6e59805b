// vuzov_bench: how close the driver comes to what the serial line allows.
//
// It loads the driver module as a host does, plays each panel with the panelsim
// program on its own pty, and prints a Markdown table per section: exchange time
// and CPU against the line's floor and a bare loop, the cost of idle instances,
// many panels at once, decoding a large zone range, and the Windows build under
// Wine. Nothing here is a test: it prints figures and asserts none.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench.h"
#include "split.h"

namespace {

using namespace vuzov_bench;

struct Section {
  const char *name;
  int (*run)(const Context &);
};

constexpr Section kSections[] = {
    {"exchange", &RunExchangeBench}, {"idle", &RunIdleBench},   {"many", &RunManyPanelsBench},
    {"decode", &RunDecodeBench},     {"wine", &RunWineBench},       {"mqtt", &RunMqttBench},
    {"modbus", &RunModbusBench},
};

void PrintUsage() {
  std::printf(
      "usage: vuzov_bench [--smoke] [--only SECTION[,SECTION...]] [--module PATH]\n"
      "                   [--panelsim PATH] [--wine-build DIR]\n"
      "                   [--case REPLY/TIMEOUT] [--side driver|bare]\n"
      "\n"
      "Sections: exchange, idle, many, decode, wine, mqtt, modbus (default: all of them).\n"
      "  --smoke        a few exchanges per case: proves the cases run, measures nothing\n"
      "  --module       the driver module (default: libvuzov.so beside this program)\n"
      "  --panelsim     the panel simulator (default: panelsim beside this program)\n"
      "  --wine-build   the Windows build (default: ../../windows from this program's folder)\n"
      "  --case         for profiling: only this exchange case, e.g. eot/2, frame9/5,\n"
      "                 frame20/10, command/5 (reply / timeout in 10 ms units)\n"
      "  --side         for profiling: only the driver's or only the bare loop's exchanges\n");
}

std::string Folder(const std::string &path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string SelfFolder(const char *argv0) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return Folder(argv0);
  return Folder(std::string(self, static_cast<std::size_t>(length)));
}

std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}

void PrintMachine() {
  utsname names{};
  uname(&names);
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::printf("## VUZOV benchmark, %s\n\n", date);
  std::printf("Machine: %ld cores, %s, Linux %s\n", sysconf(_SC_NPROCESSORS_ONLN),
              CpuModel().c_str(), names.release);
}

bool Wanted(const std::vector<std::string> &only, const char *name) {
  if (only.empty()) return true;
  for (const std::string &part : only) {
    if (part == name) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string folder = SelfFolder(argv[0]);
  std::string module_path = folder + "/" + vuzov_loader::ModuleFileName();
  Context context;
  context.panelsim = folder + "/panelsim";
  context.zemhost = folder + "/zemhost";
  context.wine_build = folder + "/../../windows";
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == "--help") {
      PrintUsage();
      return 0;
    } else if (argument == "--smoke") {
      context.smoke = true;
    } else if (argument == "--only" && has_value) {
      only = toolbox::SplitNonEmpty(argv[++i], ',');
    } else if (argument == "--module" && has_value) {
      module_path = argv[++i];
    } else if (argument == "--panelsim" && has_value) {
      context.panelsim = argv[++i];
    } else if (argument == "--wine-build" && has_value) {
      context.wine_build = argv[++i];
    } else if (argument == "--case" && has_value) {
      context.exchange_case = argv[++i];
    } else if (argument == "--side" && has_value && (std::strcmp(argv[i + 1], "driver") == 0 ||
                                                     std::strcmp(argv[i + 1], "bare") == 0)) {
      context.driver_side = std::strcmp(argv[++i], "driver") == 0;
      context.bare_side = !context.driver_side;
    } else {
      std::fprintf(stderr, "vuzov_bench: bad argument '%s' (see --help)\n", argv[i]);
      return 2;
    }
  }
  for (const std::string &part : only) {
    bool known = false;
    for (const Section &s : kSections) known = known || part == s.name;
    if (!known) {
      std::fprintf(stderr, "vuzov_bench: no section named '%s' (see --help)\n", part.c_str());
      return 2;
    }
  }

  std::string error;
  vuzov_loader::LoadedModule module = vuzov_loader::LoadedModule::Load(module_path, &error);
  if (!module) {
    std::fprintf(stderr, "vuzov_bench: cannot load %s: %s\n", module_path.c_str(), error.c_str());
    return 2;
  }
  WorkDir work;
  if (!work.ok()) {
    std::fprintf(stderr, "vuzov_bench: cannot make a folder under /tmp\n");
    return 2;
  }
  context.zem_main = module.Entry();
  context.work = &work;

  PrintMachine();
  if (context.smoke) std::printf("\nSmoke run: the figures below mean nothing.\n");
  int failures = 0;
  for (const Section &section : kSections) {
    if (Wanted(only, section.name)) failures += section.run(context);
  }
  std::printf("\n%d failed exchanges or steps\n", failures);
  return failures == 0 ? 0 : 1;
}
