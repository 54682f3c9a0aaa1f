// Watching a Wayland session. No compositor tells a client where the pointer is, so this way
// asks for the compositor's idle notifications instead (ext_idle_notifier_v1, or KDE's
// org_kde_kwin_idle): with a timeout of zero the notification goes idle at once, and each time
// it resumes the user has given input. The position read is the number of those resumptions.

#include <poll.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ext-idle-notify-v1-client-protocol.h"
#include "idle-client-protocol.h"
#include "platform_api.h"
#include "watch_way.h"

// The build for the tests of KWin, which offers both, uses only org_kde_kwin_idle.
#ifdef MOUSETRAP_KDE_IDLE_ONLY
constexpr bool kUseExtIdle = false;
#else
constexpr bool kUseExtIdle = true;
#endif

constexpr std::uint32_t kIdleTimeoutMs = 0;

static wl_display* g_display = nullptr;
static wl_seat* g_seat = nullptr;
static std::uint32_t g_extName = 0;
static std::uint32_t g_extVersion = 0;
static std::uint32_t g_kdeName = 0;
static ext_idle_notifier_v1* g_extNotifier = nullptr;
static org_kde_kwin_idle* g_kdeIdle = nullptr;
static bool g_synced = false;
static bool g_armed = false;
static LONG g_resumed = 0;

static void OnGlobal(void*, wl_registry* registry, std::uint32_t name, const char* interface,
                     std::uint32_t version) {
  if (g_seat == nullptr && strcmp(interface, wl_seat_interface.name) == 0) {
    g_seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (kUseExtIdle && g_extName == 0 &&
             strcmp(interface, ext_idle_notifier_v1_interface.name) == 0) {
    g_extName = name;
    g_extVersion = version;
  } else if (g_kdeName == 0 && strcmp(interface, org_kde_kwin_idle_interface.name) == 0) {
    g_kdeName = name;
  }
}

static void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}

static const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

static void OnSynced(void*, wl_callback* callback, std::uint32_t) {
  g_synced = true;
  wl_callback_destroy(callback);
}

static const wl_callback_listener kSyncListener = {OnSynced};

static void OnIdle(void*, ext_idle_notification_v1*) {}
static void OnResumed(void*, ext_idle_notification_v1*) {
  ++g_resumed;
}
static void OnKdeIdle(void*, org_kde_kwin_idle_timeout*) {}
static void OnKdeResumed(void*, org_kde_kwin_idle_timeout*) {
  ++g_resumed;
}

static const ext_idle_notification_v1_listener kExtListener = {OnIdle, OnResumed};
static const org_kde_kwin_idle_timeout_listener kKdeListener = {OnKdeIdle, OnKdeResumed};

// Sends what is queued, reads what has come within `timeout_ms` and dispatches it; false once
// the connection has broken.
static bool Exchange(int timeout_ms) {
  while (wl_display_prepare_read(g_display) != 0) {
    if (wl_display_dispatch_pending(g_display) < 0) {
      return false;
    }
  }
  wl_display_flush(g_display);
  pollfd connection = {wl_display_get_fd(g_display), POLLIN, 0};
  if (poll(&connection, 1, timeout_ms) > 0) {
    if (wl_display_read_events(g_display) < 0) {
      return false;
    }
  } else {
    wl_display_cancel_read(g_display);
  }
  return wl_display_dispatch_pending(g_display) >= 0;
}

// Lists the compositor's globals, waiting no longer than kStartUpTimeoutMs.
static bool ListGlobals(wl_registry* registry) {
  wl_registry_add_listener(registry, &kRegistryListener, nullptr);
  wl_callback_add_listener(wl_display_sync(g_display), &kSyncListener, nullptr);
  const std::int64_t deadline = MonotonicMs() + kStartUpTimeoutMs;
  for (std::int64_t left = kStartUpTimeoutMs; !g_synced && left > 0;
       left = deadline - MonotonicMs()) {
    if (!Exchange(static_cast<int>(left))) {
      return false;
    }
  }
  return g_synced;
}

// Binds the idle notifier the compositor lists, or else KDE's.
static void BindIdle(wl_registry* registry) {
  if (g_extName != 0) {
    g_extVersion = g_extVersion < static_cast<std::uint32_t>(ext_idle_notifier_v1_interface.version)
                       ? g_extVersion
                       : ext_idle_notifier_v1_interface.version;
    g_extNotifier = static_cast<ext_idle_notifier_v1*>(
        wl_registry_bind(registry, g_extName, &ext_idle_notifier_v1_interface, g_extVersion));
  } else {
    g_kdeIdle = static_cast<org_kde_kwin_idle*>(
        wl_registry_bind(registry, g_kdeName, &org_kde_kwin_idle_interface, 1));
  }
}

// Binds the first seat and the idle notifier, or else KDE's; false when the compositor at
// WAYLAND_DISPLAY offers no seat or neither. Never connects when WAYLAND_DISPLAY is not set,
// where libwayland would try wayland-0.
static bool Connect() {
  const char* name = getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0' || (g_display = wl_display_connect(nullptr)) == nullptr) {
    return false;
  }
  wl_registry* registry = wl_display_get_registry(g_display);
  const bool found =
      ListGlobals(registry) && g_seat != nullptr && (g_extName != 0 || g_kdeName != 0);
  if (found) {
    BindIdle(registry);
  }
  wl_registry_destroy(registry);
  if (!found) {
    wl_display_disconnect(g_display);
    g_display = nullptr;
  }
  return found;
}

// Asks for the notification: from now on, each time it resumes the user has given input.
static void Arm() {
  if (g_extNotifier != nullptr) {
    ext_idle_notification_v1* notification;
#ifdef EXT_IDLE_NOTIFIER_V1_GET_INPUT_IDLE_NOTIFICATION_SINCE_VERSION
    // Input only: an idle inhibitor (a playing video) does not hold this one back.
    if (g_extVersion >= EXT_IDLE_NOTIFIER_V1_GET_INPUT_IDLE_NOTIFICATION_SINCE_VERSION) {
      notification =
          ext_idle_notifier_v1_get_input_idle_notification(g_extNotifier, kIdleTimeoutMs, g_seat);
    } else
#endif
    {
      notification =
          ext_idle_notifier_v1_get_idle_notification(g_extNotifier, kIdleTimeoutMs, g_seat);
    }
    ext_idle_notification_v1_add_listener(notification, &kExtListener, nullptr);
  } else {
    org_kde_kwin_idle_timeout* timeout =
        org_kde_kwin_idle_get_idle_timeout(g_kdeIdle, g_seat, kIdleTimeoutMs);
    org_kde_kwin_idle_timeout_add_listener(timeout, &kKdeListener, nullptr);
  }
}

// Never waits: takes what the compositor has sent so far. The first read arms and gives (0, 0);
// after that x is the number of resumptions. A broken connection fails every read after it.
static BOOL Read(POINT* point) {
  if (!g_armed) {
    g_armed = true;
    Arm();
  }
  if (!Exchange(0)) {
    return 0;
  }
  point->x = g_resumed;
  point->y = 0;
  return 1;
}

const WatchWay kWaylandIdleWay = {
#ifdef MOUSETRAP_KDE_IDLE_ONLY
    "WAYLAND_DISPLAY names no compositor with org_kde_kwin_idle",
#else
    "WAYLAND_DISPLAY names no compositor with ext_idle_notifier_v1 or org_kde_kwin_idle",
#endif
    Connect, Read};
