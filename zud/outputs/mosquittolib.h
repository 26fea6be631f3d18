// mosquittolib.h -- libmosquitto, loaded only when MQTT is asked for.
//
// zud is not linked with an MQTT library: a zud without --mqtt should not
// pay for libmosquitto and the TLS libraries it brings along.  Linked
// normally, they were measured to cost 0.87 ms more from exec to the first
// heartbeat (3.0 ms against 2.1 ms, with a store) and 1.7 MiB more resident
// when idle (7.1 MiB against 5.4 MiB), past the 3 ms and 6 MiB a zud without
// MQTT is allowed.  The functions the MQTT output uses are looked up once,
// with dlopen, before anything else starts; the header is libmosquitto's
// own, for its types and constants.
#ifndef ZUD_MOSQUITTOLIB_H
#define ZUD_MOSQUITTOLIB_H

#include <mosquitto.h>

#include <string>

// The functions of libmosquitto that zud calls, by their names less the prefix.
struct mosquittolib {
  decltype(&::mosquitto_lib_init) lib_init;
  decltype(&::mosquitto_new) create;
  decltype(&::mosquitto_destroy) destroy;
  decltype(&::mosquitto_connect_callback_set) connect_callback_set;
  decltype(&::mosquitto_disconnect_callback_set) disconnect_callback_set;
  decltype(&::mosquitto_publish_callback_set) publish_callback_set;
  decltype(&::mosquitto_message_callback_set) message_callback_set;
  decltype(&::mosquitto_log_callback_set) log_callback_set;
  decltype(&::mosquitto_int_option) int_option;
  decltype(&::mosquitto_will_set) will_set;
  decltype(&::mosquitto_username_pw_set) username_pw_set;
  decltype(&::mosquitto_tls_set) tls_set;
  decltype(&::mosquitto_connect_bind_async) connect_bind_async;
  decltype(&::mosquitto_socket) socket;
  decltype(&::mosquitto_want_write) want_write;
  decltype(&::mosquitto_loop_read) loop_read;
  decltype(&::mosquitto_loop_write) loop_write;
  decltype(&::mosquitto_loop_misc) loop_misc;
  decltype(&::mosquitto_loop) loop;
  decltype(&::mosquitto_publish) publish;
  decltype(&::mosquitto_subscribe) subscribe;
  decltype(&::mosquitto_disconnect) disconnect;
  decltype(&::mosquitto_strerror) strerror;
  decltype(&::mosquitto_connack_string) connack_string;
};

// Loads libmosquitto and initialises it, once; false, with `error` saying
// why, when it cannot be loaded or lacks a function.
bool loadmosquitto(std::string &error);

// The loaded library's functions; loadmosquitto() must have succeeded.
const mosquittolib &mosq();

#endif  // ZUD_MOSQUITTOLIB_H
