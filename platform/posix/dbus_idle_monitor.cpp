// Watching a GNOME or Cinnamon session, whose compositor offers no idle notifications to
// Wayland clients but an idle monitor on the session bus. A user-active watch fires once, at
// the user's first input after it was added; the position read is the number of those firings.

#include <cstdint>

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

static sd_bus* g_bus = nullptr;
static const IdleMonitor* g_monitor = nullptr;
static bool g_listening = false;
static bool g_armed = false;
static bool g_haveWatch = false;
static std::uint32_t g_watch = 0;
static LONG g_fired = 0;

// Keeps the session bus when one of the idle monitors is on it. Asks for no longer than
// kStartUpTimeoutMs in all, so that a bus that does not answer cannot hold start-up.
static bool Connect() {
  const std::int64_t deadline = MonotonicMs() + kStartUpTimeoutMs;
  bool absent;
  if ((g_bus = OpenBus(false, deadline, &absent)) == nullptr) {
    return false;
  }
  for (const IdleMonitor& monitor : kIdleMonitors) {
    const int owned = HasOwner(g_bus, monitor.name, deadline);
    if (owned > 0) {
      g_monitor = &monitor;
      return true;
    }
    if (owned < 0) {
      break;
    }
  }
  g_bus = sd_bus_close_unref(g_bus);
  return false;
}

static int OnWatchFired(sd_bus_message* message, void*, sd_bus_error*) {
  std::uint32_t watch = 0;
  if (sd_bus_message_read(message, "u", &watch) >= 0 && g_haveWatch && watch == g_watch) {
    ++g_fired;
  }
  return 0;
}

// The watch's id. The monitor answers before it can fire the watch, and the bus keeps the
// order of its messages.
static int OnWatchAdded(sd_bus_message* reply, void*, sd_bus_error*) {
  if (sd_bus_message_is_method_error(reply, nullptr) ||
      sd_bus_message_read(reply, "u", &g_watch) < 0) {
    g_armed = false;  // asked again at the next read
    return 0;
  }
  g_haveWatch = true;
  return 0;
}

// Listens for WatchFired (once), then adds the watch; neither waits for its answer, and the bus
// handles them in this order. A match the bus refuses closes the connection.
static bool Arm() {
  if (!g_listening) {
    g_listening =
        sd_bus_match_signal_async(g_bus, nullptr, g_monitor->name, g_monitor->path, g_monitor->name,
                                  "WatchFired", OnWatchFired, nullptr, nullptr) >= 0;
  }
  return g_listening &&
         sd_bus_call_method_async(g_bus, nullptr, g_monitor->name, g_monitor->path, g_monitor->name,
                                  "AddUserActiveWatch", OnWatchAdded, nullptr, "") >= 0;
}

// Never waits: handles what the bus has sent so far. The first read arms and gives (0, 0);
// after that x is the number of firings. Fails while the watch is not in place and once the
// connection has broken.
static BOOL Read(POINT* point) {
  if (!g_armed) {
    g_armed = Arm();
  }
  int processed;
  while ((processed = sd_bus_process(g_bus, nullptr)) > 0) {
  }
  if (processed < 0 || !g_armed) {
    return 0;
  }
  point->x = g_fired;
  point->y = 0;
  return 1;
}

const WatchWay kIdleMonitorWay = {
    "the session bus has no org.gnome.Mutter.IdleMonitor or org.cinnamon.Muffin.IdleMonitor",
    Connect, Read};
