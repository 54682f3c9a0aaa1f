// Watching a GNOME or Cinnamon session, whose compositor offers no idle notifications to
// Wayland clients but an idle monitor on the session bus. A user-active watch fires once, at
// the user's first input after it was added; the count is the number of those firings. The
// watch lives in the monitor's process, so the monitor's owner is watched too: when the shell
// or window manager restarts, the watch is gone, and the new monitor's return counts as input.

#include <cstdint>
#include <cstdio>

#include "bus.h"
#include "platform_api.h"
#include "watch_way.h"

struct IdleMonitor {
  const char* name;  // bus name, and the name of its interface
  const char* path;  // the monitor of all input
};

static const IdleMonitor kIdleMonitors[] = {
    {"org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core"},
    {"org.cinnamon.Muffin.IdleMonitor", "/org/cinnamon/Muffin/IdleMonitor/Core"},
};

static sd_bus* g_bus = nullptr;  // null once it broke, until a read connects again
static const IdleMonitor* g_monitor = nullptr;
static bool g_listening = false;  // for WatchFired and the owner's changes, on this connection
static bool g_asked = false;      // for the watch, on this connection
static bool g_gone = false;       // the monitor or the bus, while watching
static bool g_haveWatch = false;
static std::uint32_t g_watch = 0;
static LONG g_inputs = 0;

// Keeps the session bus when one of the idle monitors is on it. Asks for no longer than
// kStartUpTimeoutMs in all, so that a bus that does not answer cannot hold start-up.
static bool Connect(const char** missing) {
  const std::int64_t deadline = MonotonicMs() + kStartUpTimeoutMs;
  bool absent;
  if ((g_bus = OpenBus(false, deadline, &absent)) == nullptr) {
    *missing = absent ? N_("no session bus") : N_("the session bus did not answer within 3 s");
    return false;
  }
  *missing =
      N_("the session bus has no org.gnome.Mutter.IdleMonitor or org.cinnamon.Muffin.IdleMonitor");
  for (const IdleMonitor& monitor : kIdleMonitors) {
    const int owned = HasOwner(g_bus, monitor.name, deadline);
    if (owned > 0) {
      g_monitor = &monitor;
      return true;
    }
    if (owned < 0) {
      *missing = N_("the session bus did not say within 3 s whether it has an idle monitor");
      break;
    }
  }
  g_bus = sd_bus_close_unref(g_bus);
  return false;
}

// The monitor, or the bus, has gone while watching: the watch went with it.
static void Lost(const char* source) {
  g_haveWatch = false;
  if (!g_gone) {
    g_gone = true;
    ReportSourceLost(source);
  }
}

// The monitor answers again: input given meanwhile cannot be ruled out.
static void Back() {
  if (g_gone) {
    g_gone = false;
    ++g_inputs;
  }
}

static int OnWatchFired(sd_bus_message* message, void*, sd_bus_error*) {
  std::uint32_t watch = 0;
  if (sd_bus_message_read(message, "u", &watch) >= 0 && g_haveWatch && watch == g_watch) {
    ++g_inputs;
  }
  return 0;
}

// A new owner, or none, for the monitor's name: either way the watch has gone with the old one.
static int OnOwnerChanged(sd_bus_message* message, void*, sd_bus_error*) {
  const char* name = nullptr;
  const char* old_owner = nullptr;
  const char* new_owner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &old_owner, &new_owner) < 0) {
    return 0;
  }
  if (*old_owner != '\0') {
    Lost(g_monitor->name);
  }
  if (*new_owner != '\0') {
    Back();
  }
  return 0;
}

// The watch's id. The monitor answers before it can fire the watch, and the bus keeps the
// order of its messages. An answer from a monitor met on a new connection is its return.
static int OnWatchAdded(sd_bus_message* reply, void*, sd_bus_error*) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (error != nullptr &&
      sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    Lost(g_monitor->name);  // back when its name has an owner again
  } else if (error != nullptr || sd_bus_message_read(reply, "u", &g_watch) < 0) {
    Lost(g_monitor->name);  // no watch: blind until one is added, which counts as input
    g_asked = false;        // asked again at the next read
  } else {
    g_haveWatch = true;
    Back();
  }
  return 0;
}

// Listens for WatchFired and for the monitor's owner changing; neither waits for the bus to
// answer. A match the bus refuses closes the connection.
static bool Listen() {
  char owner_changed[256];
  snprintf(owner_changed, sizeof owner_changed,
           "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
           "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='%s'",
           g_monitor->name);
  return sd_bus_add_match_async(g_bus, nullptr, owner_changed, OnOwnerChanged, nullptr, nullptr) >=
             0 &&
         sd_bus_match_signal_async(g_bus, nullptr, g_monitor->name, g_monitor->path,
                                   g_monitor->name, "WatchFired", OnWatchFired, nullptr,
                                   nullptr) >= 0;
}

// Adds the watch, after the matches: the bus handles them in this order.
static bool Ask() {
  return sd_bus_call_method_async(g_bus, nullptr, g_monitor->name, g_monitor->path, g_monitor->name,
                                  "AddUserActiveWatch", OnWatchAdded, nullptr, "") >= 0;
}

// Never waits long: handles what the bus has sent so far, and connects again, within
// kReconnectTimeoutMs, to a session bus that broke. The first call listens and asks for the
// watch, and gives 0, before the monitor has answered; after that, the count of firings and
// returns. Fails while the monitor's name has no owner or the bus is not there.
static LONG CountInputs() {
  if (g_bus == nullptr) {
    bool absent;
    if ((g_bus = OpenBus(false, MonotonicMs() + kReconnectTimeoutMs, &absent)) == nullptr) {
      return -1;
    }
    g_listening = g_asked = false;
  }
  if (!g_listening) {
    g_listening = Listen();
  }
  if (g_listening && !g_asked) {
    g_asked = Ask();
  }
  int processed;
  while ((processed = sd_bus_process(g_bus, nullptr)) > 0) {
  }
  if (processed < 0) {
    Lost(N_("the session bus"));
    g_bus = sd_bus_close_unref(g_bus);
  }
  return g_gone ? -1 : g_inputs;
}

const WatchWay kIdleMonitorWay = {Connect, nullptr, CountInputs};
