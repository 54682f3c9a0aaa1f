// The logind route: asks logind on the system bus to lock the user's graphical session, as
// `loginctl lock-session` asks it, and watches that session's LockedHint (with the screen savers
// and the keyboard grab) for it to show locked. At start-up: whether logind has a session for
// this process or its user.

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "linux.h"
#include "lock_route.h"

static const char kManagerPath[] = "/org/freedesktop/login1";
static const char kManagerInterface[] = "org.freedesktop.login1.Manager";

// The answer to Get of logind's property `name` of `interface` at `path`, entered into its
// variant of `type`; null with `error` set when there is none in time, or none of that type.
static sd_bus_message* LogindProperty(sd_bus* system, const char* path, const char* interface,
                                      const char* name, const char* type, std::int64_t deadline,
                                      sd_bus_error* error) {
  sd_bus_message* reply = CallUntil(system, kLogind, path, "org.freedesktop.DBus.Properties", "Get",
                                    deadline, error, "ss", interface, name);
  if (reply != nullptr && sd_bus_message_enter_container(reply, 'v', type) <= 0) {
    reply = sd_bus_message_unref(reply);
    sd_bus_error_set_const(error, SD_BUS_ERROR_INVALID_ARGS, "logind's answer was not understood");
  }
  return reply;
}

// The path of the session the user sees, as logind knows it: this process's own where it is
// graphical (x11, wayland, mir), else the user's display session, else this process's own.
// logind's session "auto" is the caller's own session, found by its cgroup: over SSH, or in a
// terminal multiplexer started from a text console, that is a text session, which nothing
// locks on the screen, while DISPLAY names the user's graphical one. 1 when found; 0 when
// logind has certainly no session for this process or its user; -1 with `error` set otherwise.
static int GraphicalSession(sd_bus* system, std::int64_t deadline, sd_bus_error* error, char* path,
                            size_t size) {
  sd_bus_message* reply = CallUntil(system, kLogind, kManagerPath, kManagerInterface, "GetSession",
                                    deadline, error, "s", "auto");
  const char* own = nullptr;
  if (reply == nullptr || sd_bus_message_read(reply, "o", &own) <= 0) {
    sd_bus_message_unref(reply);
    return NobodyThere(error) ||
                   sd_bus_error_has_names(error, "org.freedesktop.login1.NoSessionForPID",
                                          "org.freedesktop.login1.NoSuchSession")
               ? 0
               : -1;
  }
  snprintf(path, size, "%s", own);
  sd_bus_message_unref(reply);
  reply = LogindProperty(system, path, kLogindSession, "Type", "s", deadline, error);
  const char* type = "";
  const bool graphical =
      reply != nullptr && sd_bus_message_read(reply, "s", &type) > 0 &&
      (strcmp(type, "x11") == 0 || strcmp(type, "wayland") == 0 || strcmp(type, "mir") == 0);
  sd_bus_message_unref(reply);
  if (graphical) {
    return 1;
  }
  sd_bus_error_free(error);
  char user[64];
  snprintf(user, sizeof user, "/org/freedesktop/login1/user/_%u", static_cast<unsigned>(getuid()));
  reply = LogindProperty(system, user, "org.freedesktop.login1.User", "Display", "(so)", deadline,
                         error);
  const char* id = nullptr;
  const char* display = nullptr;
  if (reply != nullptr && sd_bus_message_read(reply, "(so)", &id, &display) > 0 &&
      strcmp(display, "/") != 0) {
    snprintf(path, size, "%s", display);
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(error);
  return 1;
}

// 1 when logind has a session for this process or its user, 0 when certainly not, -1 when the
// bus did not say in time.
static int CouldLock(std::int64_t deadline, const char** why) {
  bool absent;
  sd_bus* system = OpenBus(true, deadline, &absent);
  if (system == nullptr) {
    *why = N_("no system bus for logind");
    return absent ? 0 : -1;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  char path[256];
  const int found = GraphicalSession(system, deadline, &error, path, sizeof path);
  *why = N_("logind has no session for this process or its user");
  sd_bus_error_free(&error);
  sd_bus_close_unref(system);
  return found;
}

// Asks logind to lock the user's graphical session, then watches that session, the screen
// savers and the keyboard grab for it to show locked.
static LockOutcome Lock(const Buses& buses) {
  if (buses.system == nullptr) {
    Tried("logind: no system bus");
    return kNotLocked;
  }
  const std::int64_t deadline = MonotonicMs() + kStartUpTimeoutMs;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  char path[256];
  sd_bus_message* reply = nullptr;
  if (GraphicalSession(buses.system, deadline, &error, path, sizeof path) > 0) {
    reply = CallUntil(buses.system, kLogind, path, kLogindSession, "Lock", deadline, &error);
  } else if (!sd_bus_error_is_set(&error)) {
    sd_bus_error_set_const(&error, SD_BUS_ERROR_FAILED, "no session for this process or user");
  }
  if (reply == nullptr) {
    Tried("logind: %s", Message(&error));
    sd_bus_error_free(&error);
    return kNotLocked;
  }
  sd_bus_message_unref(reply);
  const int seen = SeenLocked(buses, path, kScreenSavers, kScreenSavers + kScreenSaverCount - 1,
                              MonotonicMs() + kSeenLockedMs);
  if (seen == 0) {
    const long long ms = kSeenLockedMs;
    if (NoX11Session() == nullptr) {
      Tried(
          "logind: locking %s accepted, but neither LockedHint, the keyboard grab nor a screen "
          "saver showed it locked within %lld ms",
          path, ms);
    } else {
      Tried(
          "logind: locking %s accepted, but neither LockedHint nor a screen saver showed it "
          "locked within %lld ms",
          path, ms);
    }
  }
  return seen > 0 ? kSeenLocked : seen < 0 ? kAskedWhereNothingCanTell : kNotLocked;
}

const LockRoute kLogindRoute = {CouldLock, false, Lock};
