// The connection to the Wayland compositor WAYLAND_DISPLAY names, for the Wayland way
// (wl_idle.cpp): the socket, connected within a time limit; the globals the compositor lists
// (the first seat, and an idle notifier of either protocol), bound; the exchange of requests and
// events; and every proxy of the connection, dropped with it.

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "linux.h"
#include "wl_compositor.h"

// The build for the tests of KWin, which offers both, uses only org_kde_kwin_idle.
#ifdef MOUSETRAP_KDE_IDLE_ONLY
constexpr bool kUseExtIdle = false;
#else
constexpr bool kUseExtIdle = true;
#endif

wl_display* g_display = nullptr;
wl_registry* g_registry = nullptr;
wl_seat* g_seat = nullptr;
std::uint32_t g_extName = 0;
std::uint32_t g_extVersion = 0;
std::uint32_t g_kdeName = 0;
ext_idle_notifier_v1* g_extNotifier = nullptr;
org_kde_kwin_idle* g_kdeIdle = nullptr;
wl_proxy* g_notification = nullptr;
wl_callback* g_sync = nullptr;

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

bool HasIdle() {
  return g_seat != nullptr && (g_extName != 0 || g_kdeName != 0);
}

void BindIdle() {
  if (g_extName != 0) {
    g_extVersion = g_extVersion < static_cast<std::uint32_t>(ext_idle_notifier_v1_interface.version)
                       ? g_extVersion
                       : ext_idle_notifier_v1_interface.version;
    g_extNotifier = static_cast<ext_idle_notifier_v1*>(
        wl_registry_bind(g_registry, g_extName, &ext_idle_notifier_v1_interface, g_extVersion));
  } else {
    g_kdeIdle = static_cast<org_kde_kwin_idle*>(
        wl_registry_bind(g_registry, g_kdeName, &org_kde_kwin_idle_interface, 1));
  }
  wl_registry_destroy(g_registry);
  g_registry = nullptr;
}

bool Exchange(std::int64_t timeout_ms) {
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

static void DestroyProxy(void* proxy) {
  if (proxy != nullptr) {
    wl_proxy_destroy(static_cast<wl_proxy*>(proxy));
  }
}

void Disconnect() {
  DestroyProxy(g_notification);
  DestroyProxy(g_extNotifier);
  DestroyProxy(g_kdeIdle);
  DestroyProxy(g_seat);
  DestroyProxy(g_sync);
  DestroyProxy(g_registry);
  g_notification = nullptr;
  g_extNotifier = nullptr;
  g_kdeIdle = nullptr;
  g_seat = nullptr;
  g_sync = nullptr;
  g_registry = nullptr;
  g_extName = g_kdeName = 0;
  wl_display_disconnect(g_display);
  g_display = nullptr;
}

// The socket WAYLAND_DISPLAY names, as libwayland finds it: a name in XDG_RUNTIME_DIR, or an
// absolute path. False when there is none.
static bool SocketAddress(sockaddr_un* address) {
  const char* name = getenv("WAYLAND_DISPLAY");
  const char* folder = name == nullptr ? nullptr : name[0] == '/' ? "" : getenv("XDG_RUNTIME_DIR");
  if (folder == nullptr) {
    return false;
  }
  *address = {};
  address->sun_family = AF_UNIX;
  const int length = snprintf(address->sun_path, sizeof address->sun_path, "%s%s%s", folder,
                              *folder != '\0' ? "/" : "", name);
  return length > 0 && static_cast<size_t>(length) < sizeof address->sun_path;
}

static const char kNoCompositor[] = N_("no compositor at WAYLAND_DISPLAY");
static const char kNotTaken[] =
    N_("the compositor at WAYLAND_DISPLAY did not take the connection within 3 s");

const char* OpenCompositor(std::int64_t deadline) {
  sockaddr_un address;
  if (!SocketAddress(&address)) {
    return kNoCompositor;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return kNoCompositor;
  }
  const std::int64_t left_ms = deadline - MonotonicMs();
  timeval limit = {};
  limit.tv_sec = left_ms > 0 ? left_ms / 1000 : 0;
  limit.tv_usec = left_ms > 0 ? left_ms % 1000 * 1000 : 1;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const bool held = errno == EAGAIN || errno == EINTR;
    close(fd);
    return held ? kNotTaken : kNoCompositor;
  }
  if ((g_display = wl_display_connect_to_fd(fd)) == nullptr) {  // which closed fd
    return kNoCompositor;
  }
  g_registry = wl_display_get_registry(g_display);
  wl_registry_add_listener(g_registry, &kRegistryListener, nullptr);
  return nullptr;
}
