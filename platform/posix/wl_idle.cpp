// Watching a Wayland session. No compositor tells a client where the pointer is, so this way
// asks for the compositor's idle notifications instead (ext_idle_notifier_v1, or KDE's
// org_kde_kwin_idle): with a timeout of zero the notification goes idle at once, and each time
// it resumes the user has given input. The count is the number of those resumptions. A
// compositor that goes away and comes back on the same socket (KWin restarts itself so after a
// crash) is connected to again, and its return counts as input.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
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

static wl_display* g_display = nullptr;  // null once it broke, until a read connects again
static wl_seat* g_seat = nullptr;
static std::uint32_t g_extName = 0;
static std::uint32_t g_extVersion = 0;
static std::uint32_t g_kdeName = 0;
static ext_idle_notifier_v1* g_extNotifier = nullptr;
static org_kde_kwin_idle* g_kdeIdle = nullptr;
static wl_proxy* g_notification = nullptr;  // either protocol's
static wl_callback* g_sync = nullptr;
static bool g_synced = false;
static bool g_asked = false;  // for the notification, at the first read
static bool g_gone = false;   // the compositor, while watching
static LONG g_inputs = 0;
static bool g_idleSeen = false;
static bool g_heldOff = false;  // reads failed for want of the first idle
// How long the first read waits for the notification's first idle.
constexpr std::int64_t kFirstIdleMs = 1000;

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
  g_sync = nullptr;
}

static const wl_callback_listener kSyncListener = {OnSynced};

// The notification's first idle: from then on each resumption tells of input. It comes at once,
// unless something holds idle off (an idle inhibitor: a video playing); input meanwhile cannot
// be seen, so when it comes after reads have failed for want of it, it counts as input.
static void Idle() {
  if (!g_idleSeen) {
    g_idleSeen = true;
    g_inputs += g_heldOff;
  }
}

static void OnIdle(void*, ext_idle_notification_v1*) {
  Idle();
}
static void OnResumed(void*, ext_idle_notification_v1*) {
  ++g_inputs;
}
static void OnKdeIdle(void*, org_kde_kwin_idle_timeout*) {
  Idle();
}
static void OnKdeResumed(void*, org_kde_kwin_idle_timeout*) {
  ++g_inputs;
}

static const ext_idle_notification_v1_listener kExtListener = {OnIdle, OnResumed};
static const org_kde_kwin_idle_timeout_listener kKdeListener = {OnKdeIdle, OnKdeResumed};

// Sends what is queued, reads what has come within `timeout_ms` and dispatches it; false once
// the connection has broken.
static bool Exchange(std::int64_t timeout_ms) {
  while (wl_display_prepare_read(g_display) != 0) {
    if (wl_display_dispatch_pending(g_display) < 0) {
      return false;
    }
  }
  wl_display_flush(g_display);
  pollfd connection = {wl_display_get_fd(g_display), POLLIN, 0};
  if (poll(&connection, 1, static_cast<int>(timeout_ms)) > 0) {
    if (wl_display_read_events(g_display) < 0) {
      return false;
    }
  } else {
    wl_display_cancel_read(g_display);
  }
  return wl_display_dispatch_pending(g_display) >= 0;
}

// Connects to the compositor WAYLAND_DISPLAY names, and asks it to answer (g_synced). By that
// name only: libwayland would take a descriptor named in WAYLAND_SOCKET first, even where that
// is another connection or the terminal, so it is removed before the first connection, and a
// descriptor it names is not handed on to the lock command.
static bool ConnectByName() {
  if (const char* socket = getenv("WAYLAND_SOCKET")) {
    const int fd = atoi(socket);
    if (fd > STDERR_FILENO) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    unsetenv("WAYLAND_SOCKET");
  }
  const char* name = getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0' || (g_display = wl_display_connect(name)) == nullptr) {
    return false;
  }
  g_synced = false;
  g_sync = wl_display_sync(g_display);
  wl_callback_add_listener(g_sync, &kSyncListener, nullptr);
  return true;
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

#ifdef MOUSETRAP_KDE_IDLE_ONLY
static const char kNoIdle[] = "the compositor at WAYLAND_DISPLAY offers no org_kde_kwin_idle";
#else
static const char kNoIdle[] =
    "the compositor at WAYLAND_DISPLAY offers no ext_idle_notifier_v1 or org_kde_kwin_idle";
#endif

// Binds the first seat and the idle notifier, or else KDE's, waiting for the compositor's list
// of globals no longer than kStartUpTimeoutMs. Never connects when WAYLAND_DISPLAY is not set,
// where libwayland would try wayland-0.
static bool Connect(const char** missing) {
  if (!ConnectByName()) {
    const char* name = getenv("WAYLAND_DISPLAY");
    *missing = name == nullptr || *name == '\0' ? "WAYLAND_DISPLAY is not set"
                                                : "no compositor at WAYLAND_DISPLAY";
    return false;
  }
  *missing = nullptr;
  wl_registry* registry = wl_display_get_registry(g_display);
  wl_registry_add_listener(registry, &kRegistryListener, nullptr);
  const std::int64_t deadline = MonotonicMs() + kStartUpTimeoutMs;
  for (std::int64_t left = kStartUpTimeoutMs; !g_synced && left > 0 && Exchange(left);
       left = deadline - MonotonicMs()) {
  }
  if (!g_synced) {
    *missing = "the compositor at WAYLAND_DISPLAY did not answer within 3 s";
  } else if (g_extName == 0 && g_kdeName == 0) {
    *missing = kNoIdle;
  } else if (g_seat == nullptr) {
    *missing = "the compositor at WAYLAND_DISPLAY offers no seat";
  } else {
    BindIdle(registry);
  }
  wl_registry_destroy(registry);
  if (*missing != nullptr) {
    wl_display_disconnect(g_display);
    g_display = nullptr;
  }
  return *missing == nullptr;
}

// Asks for the notification: from now on, each time it resumes the user has given input.
static void Ask() {
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
    g_notification = reinterpret_cast<wl_proxy*>(notification);
  } else {
    org_kde_kwin_idle_timeout* timeout =
        org_kde_kwin_idle_get_idle_timeout(g_kdeIdle, g_seat, kIdleTimeoutMs);
    org_kde_kwin_idle_timeout_add_listener(timeout, &kKdeListener, nullptr);
    g_notification = reinterpret_cast<wl_proxy*>(timeout);
  }
}

static void DestroyProxy(void* proxy) {
  if (proxy != nullptr) {
    wl_proxy_destroy(static_cast<wl_proxy*>(proxy));
  }
}

// The connection broke: the notification went with it. A connection made again asks for none,
// since the compositor's return already counts as input.
static void Lost() {
  DestroyProxy(g_notification);
  DestroyProxy(g_extNotifier);
  DestroyProxy(g_kdeIdle);
  DestroyProxy(g_seat);
  DestroyProxy(g_sync);
  g_notification = nullptr;
  g_extNotifier = nullptr;
  g_kdeIdle = nullptr;
  g_seat = nullptr;
  g_sync = nullptr;
  wl_display_disconnect(g_display);
  g_display = nullptr;
  if (!g_gone) {
    g_gone = true;
    ReportSourceLost("the Wayland compositor");
  }
}

// Never waits long: takes what the compositor has sent so far; a compositor that went away is
// connected to again, waiting for its answer no longer than kReconnectTimeoutMs at that read.
// The first call asks for the notification and gives 0; after that, the count of resumptions
// and returns. Fails from the read that finds the connection broken until the compositor
// answers on a new one.
static LONG CountInputs() {
  std::int64_t wait_ms = 0;
  if (g_display == nullptr) {
    if (!ConnectByName()) {
      return -1;
    }
    wait_ms = kReconnectTimeoutMs;
  }
  const bool asking = !g_asked;
  if (asking) {
    g_asked = true;
    Ask();
  }
  bool connected = Exchange(wait_ms);
  for (const std::int64_t until = MonotonicMs() + kFirstIdleMs;
       asking && connected && !g_idleSeen && MonotonicMs() < until;) {
    connected = Exchange(until - MonotonicMs());
  }
  if (!connected) {
    Lost();
  } else if (g_gone && g_synced) {
    g_gone = false;
    ++g_inputs;  // input given meanwhile cannot be ruled out
  }
  if (!g_gone && !g_idleSeen) {
    if (!g_heldOff) {
      g_heldOff = true;
      ReportSourceLost("the compositor's idle notifications (something holds idle off)");
    }
    return asking ? 0 : -1;
  }
  return g_gone ? -1 : g_inputs;
}

const WatchWay kWaylandIdleWay = {Connect, nullptr, CountInputs};
