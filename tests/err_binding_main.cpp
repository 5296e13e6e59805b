// A plain program that links only the C library loads the module with dlopen.
// The module's log call must reach the host library's err(), not the C library's
// err(3), which would print to stderr and end this process before the last line.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "host_interface.h"

namespace {
int g_lines = 0;
bool g_expected = false;
void OnLog(void *, std::int32_t level, const char *line) {
  ++g_lines;
  g_expected = level == 0 && std::strcmp(line, "ZODODA> GetZemInfo() exited") == 0;
}
}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MODULE\n", argv[0]);
    return 2;
  }
  void *module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  // The host library came in as the module's dependency; the host side sets its sink.
  void *qarpro = dlopen("libqarpro.so", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  using SetSink = void (*)(QarLogSink, void *);
  auto set_sink = qarpro ? reinterpret_cast<SetSink>(dlsym(qarpro, "QarHostSetLogSink")) : nullptr;
  auto zem_main = reinterpret_cast<std::uint32_t (*)(vuzov::Request *)>(dlsym(module, "ZemMain"));
  if (set_sink == nullptr || zem_main == nullptr) {
    std::fprintf(stderr, "missing symbols\n");
    return 1;
  }
  set_sink(&OnLog, nullptr);
  vuzov::DriverInfo info{};
  vuzov::Request request{};
  request.command = vuzov::kGetZemInfo;
  request.params = &info;
  const std::uint32_t result = zem_main(&request);
  if (result != 0 || g_lines != 1 || !g_expected) {
    std::fprintf(stderr, "result %u, %d lines, expected line %s\n", result, g_lines,
                 g_expected ? "seen" : "missing");
    return 1;
  }
  dlclose(qarpro);
  dlclose(module);
  std::printf("err binding ok: the module's log line reached the host log\n");
  return 0;
}
