// loadedlibrary.h -- a shared library opened at run time, its functions
// looked up by name.  zud loads the libraries that only some of its
// options need (MQTT's client, sound files) this way, so that a zud
// without those options neither maps them nor pays for their start-up.
#ifndef ZUD_COMMON_LOADEDLIBRARY_H
#define ZUD_COMMON_LOADEDLIBRARY_H

#include <dlfcn.h>

#include <string>

class loadedlibrary {
 public:
  // Opens the library `name` (its run-time name, "libsndfile.so.1"); false,
  // with `error` saying why, when it cannot be loaded.
  bool open(const char *name, std::string &error) {
    name_ = name;
    handle_ = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle_ != nullptr) return true;
    const char *why = dlerror();
    error = why != nullptr ? why : std::string("cannot load ") + name;
    return false;
  }

  // Looks `symbol` up into `slot`; false, with `error` set, when the library lacks it.
  template <typename Function>
  bool find(const char *symbol, Function &slot, std::string &error) {
    slot = reinterpret_cast<Function>(dlsym(handle_, symbol));
    if (slot != nullptr) return true;
    error = name_ + " has no " + symbol;
    return false;
  }

  // Lets the library go (when a function was missing); it stays loaded otherwise.
  void close() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
  }

 private:
  std::string name_;
  void *handle_ = nullptr;
};

#endif  // ZUD_COMMON_LOADEDLIBRARY_H
