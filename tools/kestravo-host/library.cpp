#include "library.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace kestravo_host {

namespace {

template <typename Function>
bool Resolve(void* handle, const char* name, Function* function, std::string* error) {
  *function = reinterpret_cast<Function>(dlsym(handle, name));
  if (*function == nullptr) *error = std::string("libkestravo lacks ") + name;
  return *function != nullptr;
}

}  // namespace

std::string ExecutableDir() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  std::string path(self, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool LoadLibrary(Library* library, std::string* error) {
  // A run path would not do for the installed tree: dlopen honours only the caller's, and a
  // sanitizer runtime that wraps dlopen becomes the caller.
  std::string beside = ExecutableDir() + "/" KESTRAVO_LIBRARY_NAME;
  std::string installed = ExecutableDir() + "/" KESTRAVO_BIN_TO_LIB "/" KESTRAVO_LIBRARY_NAME;
  void* handle = nullptr;
  for (const std::string& path : {beside, installed}) {
    if (handle == nullptr && access(path.c_str(), F_OK) == 0) handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (handle == nullptr) handle = dlopen(KESTRAVO_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = std::string("cannot load " KESTRAVO_LIBRARY_NAME ": ") + (why ? why : "not found");
    return false;
  }
  bool ok = Resolve(handle, "KESTRAVO_Init", &library->Init, error) &&
            Resolve(handle, "KESTRAVO_Uninit", &library->Uninit, error) &&
            Resolve(handle, "KESTRAVO_SetMsgCallBack", &library->SetMsgCallBack, error) &&
            Resolve(handle, "KESTRAVO_CreateProcess", &library->CreateProcess, error) &&
            Resolve(handle, "KESTRAVO_GetOSPid", &library->GetOSPid, error) &&
            Resolve(handle, "KESTRAVO_Attach", &library->Attach, error);
  Dl_info info;
  library->path = dladdr(reinterpret_cast<void*>(library->Init), &info) != 0 && info.dli_fname
                      ? info.dli_fname
                      : beside;
  return ok;
}

}  // namespace kestravo_host
