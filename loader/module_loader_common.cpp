#include "module_loader.h"

#include <utility>

namespace vuzov_loader {

LoadedModule::~LoadedModule() { Unload(); }

LoadedModule::LoadedModule(LoadedModule &&other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), entry_(std::exchange(other.entry_, nullptr)) {}

LoadedModule &LoadedModule::operator=(LoadedModule &&other) noexcept {
  if (this != &other) {
    Unload();
    handle_ = std::exchange(other.handle_, nullptr);
    entry_ = std::exchange(other.entry_, nullptr);
  }
  return *this;
}

}  // namespace vuzov_loader
