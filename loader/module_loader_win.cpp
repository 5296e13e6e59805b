#include <windows.h>

#include "module_loader.h"

namespace vuzov_loader {

const char *ModuleFileName() { return "vuzov.dll"; }

LoadedModule LoadedModule::Load(const std::string &path, std::string *error) {
  LoadedModule module;
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) {
    const DWORD code = GetLastError();
    if (error != nullptr) *error = "LoadLibrary failed with error " + std::to_string(code);
    return module;
  }
  module.handle_ = reinterpret_cast<void *>(handle);
  FARPROC symbol = GetProcAddress(handle, "ZemMain");
  if (symbol == nullptr) {
    if (error != nullptr) *error = "the module has no ZemMain export";
    module.Unload();
    return module;
  }
  module.entry_ = reinterpret_cast<ZemMainFn>(reinterpret_cast<void *>(symbol));
  return module;
}

std::string LoadedModule::FilePath() const {
  char path[MAX_PATH];
  const DWORD length =
      handle_ != nullptr ? GetModuleFileNameA(reinterpret_cast<HMODULE>(handle_), path, MAX_PATH)
                         : 0;
  return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

void LoadedModule::Unload() {
  if (handle_ != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle_));
  handle_ = nullptr;
  entry_ = nullptr;
}

}  // namespace vuzov_loader
