#include "KapSimLibrary.h"

#include <dlfcn.h>

KapSimLibrary::~KapSimLibrary() {
  if (m_library != nullptr) {
    dlclose(m_library);
  }
}

bool KapSimLibrary::Load(const std::string& path, std::string* error) {
  m_library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_library == nullptr) {
    if (error != nullptr) {
      const char* text = dlerror();
      *error = text != nullptr ? text : "dlopen failed";
    }
    return false;
  }
#define KAPSIM_RESOLVE(name)                                                 \
  name = reinterpret_cast<decltype(name)>(dlsym(m_library, #name));          \
  if (name == nullptr) {                                                     \
    if (error != nullptr) *error = "missing control function " #name;        \
    return false;                                                            \
  }
  KAPSIM_CONTROL_FUNCTIONS(KAPSIM_RESOLVE)
#undef KAPSIM_RESOLVE
  return true;
}
