// Locking a Linux session, and telling whether it locked. logind is asked first, as `loginctl
// lock-session` asks it. Where there is no logind, or where the session can tell whether it is
// locked (a screen saver on the session bus) and does not report locked in time, the desktop's
// own screen saver is asked; last comes xdg-screensaver, for the X11 screen savers only it
// knows. At start-up the tool refuses a session where certainly none of them can lock.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "platform_api.h"
#include "watch_way.h"

// How long a session that can tell is given to report itself locked once asked.
constexpr std::int64_t kSeenLockedMs = 2000;
// A screen saver answers Lock once its lock shows (under half a second measured).
constexpr std::int64_t kLockAnswerMs = 5000;
constexpr useconds_t kPollIntervalUs = 50000;

static const char kLogind[] = "org.freedesktop.login1";
// logind's name for the session of the process that asks.
static const char kSessionPath[] = "/org/freedesktop/login1/session/auto";
static const char kSessionInterface[] = "org.freedesktop.login1.Session";

// Each is also the name of its interface, with Lock and GetActive.
struct ScreenSaver {
  const char* name;
  const char* path;
};

static const ScreenSaver kScreenSavers[] = {
    {"org.freedesktop.ScreenSaver", "/ScreenSaver"},  // KDE Plasma, and others
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
    {"org.cinnamon.ScreenSaver", "/org/cinnamon/ScreenSaver"},
    {"org.mate.ScreenSaver", "/org/mate/ScreenSaver"},
};
constexpr int kScreenSaverCount = sizeof kScreenSavers / sizeof kScreenSavers[0];

// What each route tried and why it failed, for the one line of a failed lock.
static char g_tried[1024];

static void Tried(const char* format, ...) {
  const size_t used = strlen(g_tried);
  if (used > 0 && used < sizeof g_tried - 2) {
    strcat(g_tried, "; ");
  }
  va_list args;
  va_start(args, format);
  vsnprintf(g_tried + strlen(g_tried), sizeof g_tried - strlen(g_tried), format, args);
  va_end(args);
  for (char* c = g_tried; *c != '\0'; ++c) {
    *c = static_cast<unsigned char>(*c) < ' ' ? ' ' : *c;  // one line, whatever a callee said
  }
}

// Whether `error` says that nobody at all is there to answer.
static bool NobodyThere(const sd_bus_error* error) {
  return sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                                SD_BUS_ERROR_UNKNOWN_METHOD, SD_BUS_ERROR_UNKNOWN_OBJECT,
                                SD_BUS_ERROR_UNKNOWN_INTERFACE);
}

// What the call answered, "b" or a property's "v" holding "b": 1 true, 0 false (or no answer in
// time), -1 when nobody is there to answer.
static int Answer(sd_bus* bus, const char* destination, const char* path, const char* interface,
                  const char* member, std::int64_t deadline, const char* types = "",
                  const char* first = nullptr, const char* second = nullptr) {
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

// Asks until `deadline` whether the session is locked: logind's LockedHint (when `system` is
// given) or the GetActive of the screen savers from `first` to `last` that run. 1 once it is, 0
// when a screen saver answers but not locked by `deadline`, -1 when none answers: nothing here can
// tell.
static int SeenLocked(sd_bus* system, sd_bus* session, const ScreenSaver* first,
                      const ScreenSaver* last, std::int64_t deadline) {
  bool answered = false;
  for (;;) {
    if (system != nullptr &&
        Answer(system, kLogind, kSessionPath, "org.freedesktop.DBus.Properties", "Get", deadline,
               "ss", kSessionInterface, "LockedHint") > 0) {
      return 1;
    }
    for (const ScreenSaver* saver = first; session != nullptr && saver <= last; ++saver) {
      // Only one that runs: one D-Bus would start for the question cannot have been asked to
      // lock (GNOME's forwarder, started outside GNOME, only fails).
      const int active =
          HasOwner(session, saver->name, deadline) <= 0
              ? -1
              : Answer(session, saver->name, saver->path, saver->name, "GetActive", deadline);
      if (active > 0) {
        return 1;
      }
      answered = answered || active == 0;
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

// Asks logind to lock this process's session; true when it took the request.
static bool AskLogind(sd_bus* system) {
  if (system == nullptr) {
    Tried("logind: no system bus");
    return false;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = CallUntil(system, kLogind, kSessionPath, kSessionInterface, "Lock",
                                    MonotonicMs() + kStartUpTimeoutMs, &error);
  if (reply == nullptr) {
    Tried("logind: %s", error.message != nullptr ? error.message : error.name);
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return reply != nullptr;
}

// Asks each screen saver on the session bus, owned or started by D-Bus for the call, to lock;
// true once one is seen locked.
static bool AskScreenSavers(sd_bus* session) {
  if (session == nullptr) {
    Tried("screen savers: no session bus");
    return false;
  }
  bool answered = false;
  for (int i = 0; i < kScreenSaverCount; ++i) {
    const ScreenSaver& saver = kScreenSavers[i];
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = CallUntil(session, saver.name, saver.path, saver.name, "Lock",
                                      MonotonicMs() + kLockAnswerMs, &error);
    const bool missing = NobodyThere(&error);
    answered = answered || !missing;
    if (reply != nullptr &&
        SeenLocked(nullptr, session, &saver, &saver, MonotonicMs() + kSeenLockedMs) > 0) {
      sd_bus_message_unref(reply);
      return true;
    }
    if (reply != nullptr) {
      Tried("%s: locking accepted, but not active within %lld ms", saver.name,
            static_cast<long long>(kSeenLockedMs));
    } else if (!missing) {
      Tried("%s: %s", saver.name, error.message != nullptr ? error.message : error.name);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
  }
  if (!answered) {
    Tried("no screen saver on the session bus");
  }
  return false;
}

static bool IsSet(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0';
}

// Why xdg-screensaver has nothing to lock here, or null: it is for X11 sessions, whose screen
// savers it knows; in a Wayland session (where DISPLAY names Xwayland) they cannot lock.
static const char* NoX11Session() {
  return !IsSet("DISPLAY")          ? "DISPLAY is not set"
         : IsSet("WAYLAND_DISPLAY") ? "this is a Wayland session"
                                    : nullptr;
}

// xdg-screensaver lock, through the shell: for an X11 session only, and for no longer than 10 s
// (coreutils' timeout), so that a screen saver that hangs cannot hold the tool. It cannot tell
// whether it locked (it exits 4 on KDE Plasma after locking), so success is taken at its word.
static bool AskXdgScreensaver() {
  if (const char* why = NoX11Session()) {
    Tried("xdg-screensaver: %s", why);
    return false;
  }
  const int status = system("timeout 10 xdg-screensaver lock");
  if (status == 0) {
    return true;
  }
  if (status == -1 || !WIFEXITED(status)) {
    Tried("xdg-screensaver: could not be run");
  } else if (WEXITSTATUS(status) == 124) {
    Tried("xdg-screensaver lock: no answer within 10 s");
  } else {
    Tried("xdg-screensaver lock: exit status %d", WEXITSTATUS(status));
  }
  return false;
}

BOOL LockWorkStation() {
  g_tried[0] = '\0';
  bool absent;
  sd_bus* system = OpenBus(true, MonotonicMs() + kStartUpTimeoutMs, &absent);
  sd_bus* session = OpenBus(false, MonotonicMs() + kStartUpTimeoutMs, &absent);
  bool locked = false;
  bool untold = false;  // logind took the request, and nothing can tell whether it locked
  if (AskLogind(system)) {
    const int seen =
        SeenLocked(system, session, kScreenSavers, kScreenSavers + kScreenSaverCount - 1,
                   MonotonicMs() + kSeenLockedMs);
    locked = seen > 0;
    untold = seen < 0;
    if (seen == 0) {
      Tried("logind: locking accepted, but the session was not locked within %lld ms",
            static_cast<long long>(kSeenLockedMs));
    }
  }
  locked = locked || (!untold && AskScreenSavers(session));
  sd_bus_close_unref(system);
  sd_bus_close_unref(session);
  // Where nothing could tell, an X11 screen saver that only xdg-screensaver knows (and logind
  // does not) may still be there to ask. That logind took the request is all there is to know
  // about the rest (sway with swaylock).
  locked = locked || AskXdgScreensaver() || untold;
  if (!locked) {
    fprintf(stderr, "mousetrap: the session was not locked: %s.\n", g_tried);
  }
  return locked;
}

// Whether xdg-screensaver is a route here: an X11 session, and the command on PATH.
static bool XdgScreensaverRoute(const char** why) {
  if ((*why = NoX11Session()) != nullptr) {
    return false;  // the line says: "..., and <why> (for xdg-screensaver)"
  }
  // As the shell searches: an empty entry is the current folder; no PATH, the system's default.
  char fallback[256] = "";
  const char* path = getenv("PATH");
  if (path == nullptr) {
    confstr(_CS_PATH, fallback, sizeof fallback);
    path = fallback;
  }
  *why = "it is not on PATH";
  for (const char* folder = path;; ++folder) {
    const char* end = strchrnul(folder, ':');
    const int length = static_cast<int>(end - folder);
    char file[4096];
    if (snprintf(file, sizeof file, "%.*s%sxdg-screensaver", length, folder,
                 length > 0 ? "/" : "") < static_cast<int>(sizeof file) &&
        access(file, X_OK) == 0) {
      return true;
    }
    if (*end == '\0') {
      return false;
    }
    folder = end;
  }
}

// 1 when logind has a session for this process, 0 when certainly not, -1 when the bus did not
// say in time.
static int LogindRoute(std::int64_t deadline, const char** why) {
  bool absent;
  sd_bus* system = OpenBus(true, deadline, &absent);
  if (system == nullptr) {
    *why = "no system bus for logind";
    return absent ? 0 : -1;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply =
      CallUntil(system, kLogind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                "GetSession", deadline, &error, "s", "auto");
  const int found = reply != nullptr ? 1
                    : NobodyThere(&error) ||
                            sd_bus_error_has_names(&error, "org.freedesktop.login1.NoSessionForPID",
                                                   "org.freedesktop.login1.NoSuchSession")
                        ? 0
                        : -1;
  *why = "logind has no session for this process";
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_close_unref(system);
  return found;
}

// 1 when a screen saver is on the session bus, owned or activatable, 0 when certainly not, -1
// when the bus did not say in time.
static int ScreenSaverRoute(std::int64_t deadline, const char** why) {
  bool absent;
  sd_bus* session = OpenBus(false, deadline, &absent);
  if (session == nullptr) {
    *why = "no session bus for a screen saver";
    return absent ? 0 : -1;
  }
  *why = "no screen saver on the session bus";
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

void RefuseWithoutLockRoute() {
  const char* xdg;
  const char* logind;
  const char* saver;
  if (XdgScreensaverRoute(&xdg) || LogindRoute(MonotonicMs() + kStartUpTimeoutMs, &logind) != 0 ||
      ScreenSaverRoute(MonotonicMs() + kStartUpTimeoutMs, &saver) != 0) {
    return;  // something may lock it, or a bus was too slow to be sure
  }
  fprintf(stderr,
          "mousetrap: nothing can lock this session: %s, %s, and %s (for xdg-screensaver); not "
          "watching.\n",
          logind, saver, xdg);
  exit(2);
}
