#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>

#include "module_loader.h"

namespace vuzov_loader {

const char *ModuleFileName() { return "libvuzov.so"; }

LoadedModule LoadedModule::Load(const std::string &path, std::string *error) {
  LoadedModule module;
  // RTLD_LOCAL, as hosts load plug-ins: the module's imports must resolve on
  // their own, not through symbols the host happens to export.
  module.handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module.handle_ == nullptr) {
    if (error != nullptr) *error = dlerror();
    return module;
  }
  void *symbol = dlsym(module.handle_, "ZemMain");
  if (symbol == nullptr) {
    if (error != nullptr) *error = "the module has no ZemMain export";
    module.Unload();
    return module;
  }
  module.entry_ = reinterpret_cast<ZemMainFn>(symbol);
  return module;
}

std::string LoadedModule::FilePath() const {
  link_map *map = nullptr;
  if (handle_ == nullptr || dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
    return std::string();
  }
  char full[PATH_MAX];
  return realpath(map->l_name, full) != nullptr ? std::string(full) : std::string(map->l_name);
}

void LoadedModule::Unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
  entry_ = nullptr;
}

}  // namespace vuzov_loader
