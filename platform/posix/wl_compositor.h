// The connection to the Wayland compositor (wl_compositor.cpp), for the Wayland way (wl_idle.cpp):
// the display, the globals it lists and binds, and the proxies the way makes on it.
#pragma once

#include <wayland-client.h>

#include <cstdint>

#include "ext-idle-notify-v1-client-protocol.h"
#include "idle-client-protocol.h"

extern wl_display* g_display;    // null while there is no connection
extern wl_registry* g_registry;  // until the idle notifier is bound
extern wl_seat* g_seat;          // the first seat listed
// The idle notifiers listed (their names, 0 when none) and the one bound.
extern std::uint32_t g_extName;
extern std::uint32_t g_extVersion;
extern std::uint32_t g_kdeName;
extern ext_idle_notifier_v1* g_extNotifier;
extern org_kde_kwin_idle* g_kdeIdle;
// The way's own proxies on the connection, dropped with it: the notification (either
// protocol's), and the request for the compositor's answer.
extern wl_proxy* g_notification;
extern wl_callback* g_sync;

// Connects to the compositor WAYLAND_DISPLAY names, no later than `deadline`, and asks for its
// globals. A compositor whose backlog is full (one that listens and takes no connection) holds a
// Unix socket's connect until the send timeout, which is what is left of the limit (libwayland
// itself never waits on the socket). Null once connected, or else what failed.
const char* OpenCompositor(std::int64_t deadline);

// Whether the compositor listed a seat and an idle notifier.
bool HasIdle();
// Binds the idle notifier the compositor lists, or else KDE's; done with the registry.
void BindIdle();

// Sends what is queued, reads what has come within `timeout_ms` and dispatches it; false once
// the connection has broken.
bool Exchange(std::int64_t timeout_ms);

// Drops every proxy and the connection.
void Disconnect();
