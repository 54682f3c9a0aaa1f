// What shows a Linux session locked, and the wait for it, for every route: logind's LockedHint,
// a running screen saver's GetActive, and in an X11 session another client holding the keyboard
// grab, as every X11 locker does while it shows (asked through linux.h, x11_grab.cpp's).

#include <unistd.h>

#include <cstdlib>

#include "linux.h"
#include "lock_route.h"

constexpr useconds_t kPollIntervalUs = 50000;

static bool IsSet(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0';
}

const char* NoX11Session() {
  return !IsSet("DISPLAY")          ? N_("DISPLAY is not set")
         : IsSet("WAYLAND_DISPLAY") ? N_("this is a Wayland session")
                                    : nullptr;
}

bool KeyboardGrabWillTell() {
  return NoX11Session() == nullptr && KeyboardHeldByAnother(MonotonicMs() + kStartUpTimeoutMs) == 0;
}

int SeenLocked(const Buses& buses, const char* path, const ScreenSaver* first,
               const ScreenSaver* last, std::int64_t deadline) {
  // In an X11 session the keyboard grab can always tell, once it is free of others.
  bool answered = NoX11Session() == nullptr || buses.sessionSilent;
  for (;;) {
    if (path != nullptr && Answer(buses.system, kLogind, path, "org.freedesktop.DBus.Properties",
                                  "Get", deadline, "ss", kLogindSession, "LockedHint") > 0) {
      return 1;
    }
    if (buses.grabTells && KeyboardHeldByAnother(deadline) > 0) {
      return 1;
    }
    for (const ScreenSaver* saver = first; buses.session != nullptr && saver <= last; ++saver) {
      // Only one that runs: one D-Bus would start for the question cannot have been asked to
      // lock (GNOME's forwarder, started outside GNOME, only fails). A bus too slow to say
      // whether one runs may have one that can tell.
      const int owned = HasOwner(buses.session, saver->name, deadline);
      const int active = owned <= 0 ? -1
                                    : Answer(buses.session, saver->name, saver->path, saver->name,
                                             "GetActive", deadline);
      if (active > 0) {
        return 1;
      }
      answered = answered || active == 0 || owned < 0;
    }
    if (!answered) {
      return -1;
    }
    if (MonotonicMs() + kPollIntervalUs / 1000 >= deadline) {
      return 0;
    }
    usleep(kPollIntervalUs);
  }
}
