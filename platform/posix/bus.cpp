// Connections and calls on D-Bus that never wait past a deadline: sd-bus itself would wait for
// a bus that does not answer as long as it allows for a call (25 s) or a connection (90 s). And
// what an answer or an error means: a boolean, nobody there, a message for a line of ours.

#include "bus.h"

#include <cerrno>

#include "linux.h"

// Waits until the bus has let us in, or `deadline` has passed.
static bool WaitUntilReady(sd_bus* bus, std::int64_t deadline) {
  for (;;) {
    int done = sd_bus_is_ready(bus);
    if (done != 0) {
      return done > 0;
    }
    if ((done = sd_bus_process(bus, nullptr)) < 0) {
      return false;
    }
    const std::int64_t now = MonotonicMs();
    if (done == 0 && (now >= deadline || sd_bus_wait(bus, (deadline - now) * 1000) < 0)) {
      return false;
    }
  }
}

sd_bus* OpenBus(bool system, std::int64_t deadline, bool* absent) {
  sd_bus* bus = nullptr;
  *absent = (system ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus)) < 0;
  if (!*absent && !WaitUntilReady(bus, deadline)) {
    bus = sd_bus_close_unref(bus);
  }
  return bus;
}

sd_bus_message* CallUntil(sd_bus* bus, const char* destination, const char* path,
                          const char* interface, const char* member, std::int64_t deadline,
                          sd_bus_error* error, const char* types, const char* first,
                          const char* second) {
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  const std::int64_t left = deadline - MonotonicMs();
  int result =
      left > 0 ? sd_bus_message_new_method_call(bus, &call, destination, path, interface, member)
               : -ETIMEDOUT;
  if (result >= 0) {
    result = sd_bus_message_append(call, types, first, second);
  }
  if (result >= 0) {
    result = sd_bus_call(bus, call, left * 1000, error, &reply);
  }
  if (result < 0 && !sd_bus_error_is_set(error)) {
    sd_bus_error_set_errno(error, result);
  }
  sd_bus_message_unref(call);
  return reply;
}

int HasOwner(sd_bus* bus, const char* name, std::int64_t deadline) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int owned = 0;
  sd_bus_message* reply =
      CallUntil(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "NameHasOwner", deadline, &error, "s", name);
  const int result = reply == nullptr ? -1 : sd_bus_message_read(reply, "b", &owned);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return result < 0 ? -1 : owned != 0;
}

const char* Message(const sd_bus_error* error) {
  return error->message != nullptr ? error->message : error->name;
}

bool NobodyThere(const sd_bus_error* error) {
  return sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                                SD_BUS_ERROR_UNKNOWN_METHOD, SD_BUS_ERROR_UNKNOWN_OBJECT,
                                SD_BUS_ERROR_UNKNOWN_INTERFACE);
}

int Answer(sd_bus* bus, const char* destination, const char* path, const char* interface,
           const char* member, std::int64_t deadline, const char* types, const char* first,
           const char* second) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply =
      CallUntil(bus, destination, path, interface, member, deadline, &error, types, first, second);
  int value = 0;
  char type = 0;
  if (reply == nullptr || sd_bus_message_peek_type(reply, &type, nullptr) <= 0 ||
      (type == 'v' && sd_bus_message_enter_container(reply, 'v', "b") <= 0) ||
      sd_bus_message_read(reply, "b", &value) < 0) {
    value = NobodyThere(&error) ? -1 : 0;
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return value < 0 ? -1 : value != 0;
}
