// Loads the driver module the way a host does and finds its entry point.
#ifndef VUZOV_LOADER_MODULE_LOADER_H
#define VUZOV_LOADER_MODULE_LOADER_H

#include <cstdint>
#include <string>

namespace vuzov {
struct Request;
}

namespace vuzov_loader {

using ZemMainFn = std::uint32_t (*)(vuzov::Request *);

// Owns one loaded module; unloads it when destroyed. Move-only.
class LoadedModule {
 public:
  LoadedModule() = default;
  ~LoadedModule();
  LoadedModule(LoadedModule &&other) noexcept;
  LoadedModule &operator=(LoadedModule &&other) noexcept;
  LoadedModule(const LoadedModule &) = delete;
  LoadedModule &operator=(const LoadedModule &) = delete;

  // Loads the module at path and resolves ZemMain. On failure the result is
  // empty and error says why.
  static LoadedModule Load(const std::string &path, std::string *error);

  explicit operator bool() const { return handle_ != nullptr && entry_ != nullptr; }
  ZemMainFn Entry() const { return entry_; }
  // The full path of the file the system loaded, which for a bare name may be
  // anywhere on its search path; empty when it cannot tell.
  std::string FilePath() const;
  // Unloads now; safe to call twice.
  void Unload();

 private:
  void *handle_ = nullptr;
  ZemMainFn entry_ = nullptr;
};

// The module's file name on this platform: vuzov.dll or libvuzov.so.
const char *ModuleFileName();

}  // namespace vuzov_loader

#endif
