// mosquittolib.cpp -- libmosquitto through dlopen.
#include "outputs/mosquittolib.h"

#include "loadedlibrary.h"

namespace {

// The library's run-time name (Debian's libmosquitto1).
constexpr const char *libraryname = "libmosquitto.so.1";

mosquittolib functions{};
bool loaded = false;

}  // namespace

bool loadmosquitto(std::string &error) {
  if (loaded) return true;
  loadedlibrary library;
  if (!library.open(libraryname, error)) return false;
  mosquittolib &f = functions;
  const bool all =
      library.find("mosquitto_lib_init", f.lib_init, error) &&
      library.find("mosquitto_new", f.create, error) &&
      library.find("mosquitto_destroy", f.destroy, error) &&
      library.find("mosquitto_connect_callback_set", f.connect_callback_set, error) &&
      library.find("mosquitto_disconnect_callback_set", f.disconnect_callback_set, error) &&
      library.find("mosquitto_publish_callback_set", f.publish_callback_set, error) &&
      library.find("mosquitto_message_callback_set", f.message_callback_set, error) &&
      library.find("mosquitto_log_callback_set", f.log_callback_set, error) &&
      library.find("mosquitto_int_option", f.int_option, error) &&
      library.find("mosquitto_will_set", f.will_set, error) &&
      library.find("mosquitto_username_pw_set", f.username_pw_set, error) &&
      library.find("mosquitto_tls_set", f.tls_set, error) &&
      library.find("mosquitto_connect_bind_async", f.connect_bind_async, error) &&
      library.find("mosquitto_socket", f.socket, error) &&
      library.find("mosquitto_want_write", f.want_write, error) &&
      library.find("mosquitto_loop_read", f.loop_read, error) &&
      library.find("mosquitto_loop_write", f.loop_write, error) &&
      library.find("mosquitto_loop_misc", f.loop_misc, error) &&
      library.find("mosquitto_loop", f.loop, error) &&
      library.find("mosquitto_publish", f.publish, error) &&
      library.find("mosquitto_subscribe", f.subscribe, error) &&
      library.find("mosquitto_disconnect", f.disconnect, error) &&
      library.find("mosquitto_strerror", f.strerror, error) &&
      library.find("mosquitto_connack_string", f.connack_string, error);
  if (!all) {
    library.close();
    return false;
  }
  f.lib_init();
  loaded = true;  // the library stays loaded for the life of the process
  return true;
}

const mosquittolib &mosq() { return functions; }
