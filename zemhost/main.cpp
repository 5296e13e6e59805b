// zemhost: a host for the VUZOV driver module on the bench.
#include <cstdio>
#include <cstring>
#include <string>

#include "cp437.h"
#include "host_interface.h"
#include "module_loader.h"

namespace {

void PrintUsage() {
  std::printf(
      "usage: zemhost [--module PATH]\n"
      "\n"
      "Loads the VUZOV driver module as a host does and shows its identity,\n"
      "banner and default line settings.\n"
      "\n"
      "  --module PATH   the driver module (default: %s beside zemhost)\n"
      "  --help          this text\n",
      vuzov_loader::ModuleFileName());
}

std::string DefaultModulePath(const char *argv0) {
  std::string self = argv0;
  const auto slash = self.find_last_of("/\\");
  const std::string dir = slash == std::string::npos ? std::string(".") : self.substr(0, slash);
  return dir + "/" + vuzov_loader::ModuleFileName();
}

const char *ParityName(unsigned code) {
  static const char *const names[] = {"none", "odd", "even", "mark", "space"};
  return code < 5 ? names[code] : "?";
}

const char *StopBitsName(unsigned code) {
  static const char *const names[] = {"1", "1.5", "2"};
  return code < 3 ? names[code] : "?";
}

int ShowDriverInfo(vuzov_loader::ZemMainFn zem_main) {
  vuzov::DriverInfo info{};
  vuzov::Request request{};
  request.command = vuzov::kGetZemInfo;
  request.params = &info;
  const std::uint32_t result = zem_main(&request);
  if (result != vuzov::kOk) {
    std::fprintf(stderr, "zemhost: GetZemInfo returned %u\n", result);
    return 1;
  }
  std::printf("%s\n\n", zemhost::Cp437ToUtf8(info.banner ? info.banner : "").c_str());
  std::printf("driver:      \"%s\"\n", info.name ? info.name : "");
  std::printf("state size:  %u bytes\n", info.state_size);
  std::printf("line:        %u baud, %u data bits, parity %s, stop bits %s\n", info.line.baud,
              info.line.data_bits, ParityName(info.line.parity), StopBitsName(info.line.stop_bits));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string module_path = DefaultModulePath(argv[0]);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintUsage();
      return 0;
    }
    if (std::strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
      module_path = argv[++i];
      continue;
    }
    std::fprintf(stderr, "zemhost: unknown argument '%s' (see --help)\n", argv[i]);
    return 2;
  }
  std::string error;
  vuzov_loader::LoadedModule module = vuzov_loader::LoadedModule::Load(module_path, &error);
  if (!module) {
    std::fprintf(stderr, "zemhost: cannot load the driver module %s: %s\n", module_path.c_str(),
                 error.c_str());
    return 3;
  }
  return ShowDriverInfo(module.Entry());
}
