// The screen-saver route: the desktop's own screen saver on the session bus (kScreenSavers), each
// asked to Lock until one shows active. At start-up: whether one is on the session bus, running
// or for D-Bus to start.

#include <cstdlib>
#include <cstring>

#include "linux.h"
#include "lock_route.h"

// A screen saver answers Lock once its lock shows (under half a second measured).
constexpr std::int64_t kLockAnswerMs = 5000;

// 1 when a screen saver is on the session bus, owned or activatable, 0 when certainly not, -1
// when the bus did not say in time.
static int CouldLock(std::int64_t deadline, const char** why) {
  bool absent;
  sd_bus* session = OpenBus(false, deadline, &absent);
  if (session == nullptr) {
    *why = N_("no session bus for a screen saver");
    return absent ? 0 : -1;
  }
  *why = N_("no screen saver on the session bus");
  int found = 0;
  for (int i = 0; i < kScreenSaverCount && found == 0; ++i) {
    found = HasOwner(session, kScreenSavers[i].name, deadline);
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply =
      found != 0 ? nullptr
                 : CallUntil(session, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "ListActivatableNames", deadline, &error);
  char** names = nullptr;
  if (found == 0 && (reply == nullptr || sd_bus_message_read_strv(reply, &names) < 0)) {
    found = -1;
  }
  for (char** name = names; name != nullptr && *name != nullptr; ++name) {
    for (const ScreenSaver& saver : kScreenSavers) {
      found = found || strcmp(*name, saver.name) == 0;
    }
    free(*name);
  }
  free(names);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_close_unref(session);
  return found;
}

// Asks each screen saver on the session bus, owned or started by D-Bus for the call, to lock,
// until one is seen locked.
static LockOutcome Lock(const Buses& buses) {
  if (buses.session == nullptr) {
    Tried("screen savers: no session bus");
    return kNotLocked;
  }
  bool answered = false;
  for (const ScreenSaver& saver : kScreenSavers) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = CallUntil(buses.session, saver.name, saver.path, saver.name, "Lock",
                                      MonotonicMs() + kLockAnswerMs, &error);
    const bool missing = NobodyThere(&error);
    answered = answered || !missing;
    const bool seen = reply != nullptr &&
                      SeenLocked(buses, nullptr, &saver, &saver, MonotonicMs() + kSeenLockedMs) > 0;
    if (reply != nullptr && !seen) {
      Tried("%s: locking accepted, but not active within %lld ms", saver.name,
            static_cast<long long>(kSeenLockedMs));
    } else if (reply == nullptr && !missing) {
      Tried("%s: %s", saver.name, Message(&error));
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (seen) {
      return kSeenLocked;
    }
  }
  if (!answered) {
    Tried("no screen saver on the session bus");
  }
  return kNotLocked;
}

const LockRoute kScreenSaverRoute = {CouldLock, false, Lock};
