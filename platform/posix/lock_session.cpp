// Locking a Linux session, and telling whether it locked. The routes are tried in order until
// one sees the session locked (kLockRoutes): logind, asked to lock the user's graphical session
// as `loginctl lock-session` asks it; the desktop's own screen saver on the session bus; and in
// an X11 session xdg-screensaver, for the X11 screen savers only it knows. What shows a session
// locked: logind's LockedHint, a running screen saver's GetActive, and in an X11 session another
// client holding the keyboard grab, as every X11 locker does while it shows. At start-up the
// tool refuses a session where certainly none of them can lock.

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "platform_api.h"
#include "watch_way.h"

// How long a session that can tell is given to be seen locked once asked.
constexpr std::int64_t kSeenLockedMs = 2000;
// A screen saver answers Lock once its lock shows (under half a second measured).
constexpr std::int64_t kLockAnswerMs = 5000;
constexpr useconds_t kPollIntervalUs = 50000;

static const char kLogind[] = "org.freedesktop.login1";
static const char kManagerPath[] = "/org/freedesktop/login1";
static const char kManagerInterface[] = "org.freedesktop.login1.Manager";
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

static void Tried(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void Tried(const char* format, ...) {
  const size_t used = strlen(g_tried);
  if (used > 0 && used < sizeof g_tried - 2) {
    strcat(g_tried, "; ");
  }
  va_list args;
  va_start(args, format);
  vsnprintf(g_tried + strlen(g_tried), sizeof g_tried - strlen(g_tried), _(format), args);
  va_end(args);
  for (char* c = g_tried; *c != '\0'; ++c) {
    *c = static_cast<unsigned char>(*c) < ' ' ? ' ' : *c;  // one line, whatever a callee said
  }
}

static const char* Message(const sd_bus_error* error) {
  return error->message != nullptr ? error->message : error->name;
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

static bool IsSet(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0';
}

// Why this is no X11 session, or null: DISPLAY names the session's own X server only where
// WAYLAND_DISPLAY is not set (in a Wayland session it names Xwayland).
static const char* NoX11Session() {
  return !IsSet("DISPLAY")          ? N_("DISPLAY is not set")
         : IsSet("WAYLAND_DISPLAY") ? N_("this is a Wayland session")
                                    : nullptr;
}

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
  reply = LogindProperty(system, path, kSessionInterface, "Type", "s", deadline, error);
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

struct Buses {
  sd_bus* system;   // null when there is none
  sd_bus* session;  // likewise
  // The session bus is there but did not let us in in time: a screen saver on it may tell.
  bool sessionSilent;
  // In an X11 session, no client held the keyboard grab before the lock was asked for: once one
  // does, a locker shows (a grab held already, by a virtual machine's window or an open menu,
  // tells nothing).
  bool grabTells;
};

// Asks until `deadline` whether the session is locked: logind's LockedHint of the session at
// `path` (when there is one), the keyboard grab where it tells, and the GetActive of the screen
// savers from `first` to `last` that run. 1 once it is, 0 when something can tell but did not
// see it locked by `deadline`, -1 when nothing here can tell.
static int SeenLocked(const Buses& buses, const char* path, const ScreenSaver* first,
                      const ScreenSaver* last, std::int64_t deadline) {
  // In an X11 session the keyboard grab can always tell, once it is free of others.
  bool answered = NoX11Session() == nullptr || buses.sessionSilent;
  for (;;) {
    if (path != nullptr && Answer(buses.system, kLogind, path, "org.freedesktop.DBus.Properties",
                                  "Get", deadline, "ss", kSessionInterface, "LockedHint") > 0) {
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

// What a route came to.
enum LockOutcome {
  kSeenLocked,
  kAskedWhereNothingCanTell,  // logind took the request, and nothing here can tell whether it
                              // locked (a Wayland session with no screen saver: sway with swayidle)
  kNotLocked,                 // the next route is tried; g_tried says why
};

// Asks logind to lock the user's graphical session, then watches that session, the screen
// savers and the keyboard grab for it to show locked.
static LockOutcome LockThroughLogind(const Buses& buses) {
  if (buses.system == nullptr) {
    Tried("logind: no system bus");
    return kNotLocked;
  }
  const std::int64_t deadline = MonotonicMs() + kStartUpTimeoutMs;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  char path[256];
  sd_bus_message* reply = nullptr;
  if (GraphicalSession(buses.system, deadline, &error, path, sizeof path) > 0) {
    reply = CallUntil(buses.system, kLogind, path, kSessionInterface, "Lock", deadline, &error);
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

// Asks each screen saver on the session bus, owned or started by D-Bus for the call, to lock,
// until one is seen locked.
static LockOutcome LockThroughScreenSaver(const Buses& buses) {
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

// How long xdg-screensaver is given (coreutils' timeout), so that a screen saver that hangs
// cannot hold the tool: 10 s, and SIGKILL 2 s after SIGTERM for one that ignores that.
static char* const kXdgScreensaver[] = {const_cast<char*>("timeout"),
                                        const_cast<char*>("-k"),
                                        const_cast<char*>("2"),
                                        const_cast<char*>("10"),
                                        const_cast<char*>("xdg-screensaver"),
                                        const_cast<char*>("lock"),
                                        nullptr};

// Runs `timeout -k 2 10 xdg-screensaver lock`, found on PATH, with standard error into a file of
// its own, and waits for it; its exit status (124 or 137: no answer in time), or -1 when it could
// not be run. The first line it wrote on standard error, if any, is left in `said`.
static int RunXdgScreensaver(char* said, size_t size) {
  said[0] = '\0';
  const int errors = memfd_create("xdg-screensaver-errors", MFD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (errors >= 0) {
    posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
  }
  extern char** environ;
  pid_t child;
  int status = -1;
  if (posix_spawnp(&child, kXdgScreensaver[0], &actions, nullptr, kXdgScreensaver, environ) == 0) {
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  if (errors >= 0) {
    const ssize_t length = pread(errors, said, size - 1, 0);
    said[length > 0 ? length : 0] = '\0';
    said[strcspn(said, "\n")] = '\0';
    close(errors);
  }
  return status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

// xdg-screensaver lock, in an X11 session only. It cannot tell whether it locked (it exits 4 on
// KDE Plasma after locking, a route tried before it), so its success is taken at its word; its
// failure, and the first line it wrote, go into the one line of ours.
static LockOutcome LockThroughXdgScreensaver(const Buses&) {
  if (const char* why = NoX11Session()) {
    Tried("xdg-screensaver: %s", _(why));
    return kNotLocked;
  }
  char said[160];
  const int status = RunXdgScreensaver(said, sizeof said);
  if (status == 0) {
    return kSeenLocked;
  }
  if (status == -1) {
    Tried("xdg-screensaver: could not be run");
  } else if (status == 124 || status == 137) {
    Tried("xdg-screensaver lock: no answer within 10 s");
  } else if (said[0] == '\0') {
    Tried("xdg-screensaver lock: exit status %d", status);
  } else {
    Tried("xdg-screensaver lock: exit status %d (\"%s\")", status, said);
  }
  return kNotLocked;
}

struct LockRoute {
  LockOutcome (*Lock)(const Buses& buses);
};

// In order: the first that does not report kNotLocked ends the lock.
static const LockRoute kLockRoutes[] = {
    {LockThroughLogind}, {LockThroughScreenSaver}, {LockThroughXdgScreensaver}};

BOOL LockWorkStation() {
  g_tried[0] = '\0';
  bool absent;
  Buses buses = {OpenBus(true, MonotonicMs() + kStartUpTimeoutMs, &absent), nullptr, false, false};
  buses.session = OpenBus(false, MonotonicMs() + kStartUpTimeoutMs, &absent);
  buses.sessionSilent = buses.session == nullptr && !absent;
  buses.grabTells =
      NoX11Session() == nullptr && KeyboardHeldByAnother(MonotonicMs() + kStartUpTimeoutMs) == 0;
  LockOutcome outcome = kNotLocked;
  for (const LockRoute& route : kLockRoutes) {
    if ((outcome = route.Lock(buses)) != kNotLocked) {
      break;
    }
  }
  sd_bus_close_unref(buses.system);
  sd_bus_close_unref(buses.session);
  if (outcome == kNotLocked) {
    Say("the session was not locked: %s.", g_tried);
  }
  return outcome != kNotLocked;
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
  *why = N_("it is not on PATH");
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

// 1 when logind has a session for this process or its user, 0 when certainly not, -1 when the
// bus did not say in time.
static int LogindRoute(std::int64_t deadline, const char** why) {
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

// 1 when a screen saver is on the session bus, owned or activatable, 0 when certainly not, -1
// when the bus did not say in time.
static int ScreenSaverRoute(std::int64_t deadline, const char** why) {
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

void RefuseWithoutLockRoute() {
  const char* xdg;
  const char* logind;
  const char* saver;
  if (XdgScreensaverRoute(&xdg) || LogindRoute(MonotonicMs() + kStartUpTimeoutMs, &logind) != 0 ||
      ScreenSaverRoute(MonotonicMs() + kStartUpTimeoutMs, &saver) != 0) {
    return;  // something may lock it, or a bus was too slow to be sure
  }
  Say("nothing can lock this session: %s, %s, and %s (for xdg-screensaver); not watching.",
      _(logind), _(saver), _(xdg));
  exit(2);
}
