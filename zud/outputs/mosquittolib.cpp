// mosquittolib.cpp -- libmosquitto through dlopen.
#include "outputs/mosquittolib.h"

#include <dlfcn.h>

namespace {

// The library's run-time name (Debian's libmosquitto1).
constexpr const char *libraryname = "libmosquitto.so.1";

mosquittolib functions{};
bool loaded = false;

// Looks `name` up into `slot`; false when the library lacks it.
template <typename Function>
bool find(void *library, const char *name, Function &slot, std::string &error) {
  slot = reinterpret_cast<Function>(dlsym(library, name));
  if (slot != nullptr) return true;
  error = std::string(libraryname) + " has no " + name;
  return false;
}

}  // namespace

bool loadmosquitto(std::string &error) {
  if (loaded) return true;
  void *library = dlopen(libraryname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char *why = dlerror();
    error = why != nullptr ? why : std::string("cannot load ") + libraryname;
    return false;
  }
  mosquittolib &f = functions;
  const bool all =
      find(library, "mosquitto_lib_init", f.lib_init, error) &&
      find(library, "mosquitto_new", f.create, error) &&
      find(library, "mosquitto_destroy", f.destroy, error) &&
      find(library, "mosquitto_connect_callback_set", f.connect_callback_set, error) &&
      find(library, "mosquitto_disconnect_callback_set", f.disconnect_callback_set, error) &&
      find(library, "mosquitto_publish_callback_set", f.publish_callback_set, error) &&
      find(library, "mosquitto_message_callback_set", f.message_callback_set, error) &&
      find(library, "mosquitto_log_callback_set", f.log_callback_set, error) &&
      find(library, "mosquitto_int_option", f.int_option, error) &&
      find(library, "mosquitto_will_set", f.will_set, error) &&
      find(library, "mosquitto_username_pw_set", f.username_pw_set, error) &&
      find(library, "mosquitto_tls_set", f.tls_set, error) &&
      find(library, "mosquitto_connect_bind_async", f.connect_bind_async, error) &&
      find(library, "mosquitto_socket", f.socket, error) &&
      find(library, "mosquitto_want_write", f.want_write, error) &&
      find(library, "mosquitto_loop_read", f.loop_read, error) &&
      find(library, "mosquitto_loop_write", f.loop_write, error) &&
      find(library, "mosquitto_loop_misc", f.loop_misc, error) &&
      find(library, "mosquitto_loop", f.loop, error) &&
      find(library, "mosquitto_publish", f.publish, error) &&
      find(library, "mosquitto_subscribe", f.subscribe, error) &&
      find(library, "mosquitto_disconnect", f.disconnect, error) &&
      find(library, "mosquitto_strerror", f.strerror, error) &&
      find(library, "mosquitto_connack_string", f.connack_string, error);
  if (!all) {
    dlclose(library);
    return false;
  }
  f.lib_init();
  loaded = true;  // the library stays loaded for the life of the process
  return true;
}

const mosquittolib &mosq() { return functions; }
