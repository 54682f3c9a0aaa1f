/* For the Wayland test: holds the compositor's idle off, as a video playing does, with an idle
   inhibitor on a small black window (sway honours only one whose window shows). Writes a line
   once the compositor has taken it, holds it until a line on standard input, then writes a line
   once the compositor has taken its end. */
#define _GNU_SOURCE
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "idle-inhibit-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

enum { kSide = 16, kSize = kSide * kSide * 4 };
static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm_base;
static struct zwp_idle_inhibit_manager_v1 *manager;
static struct wl_buffer *buffer;
static int configured;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version) {
  const struct wl_interface *wanted[] = {&wl_compositor_interface, &wl_shm_interface,
                                         &xdg_wm_base_interface,
                                         &zwp_idle_inhibit_manager_v1_interface};
  void **bound[] = {(void **)&compositor, (void **)&shm, (void **)&wm_base, (void **)&manager};
  (void)data, (void)version;
  for (int i = 0; i < 4; i++)
    if (strcmp(interface, wanted[i]->name) == 0)
      *bound[i] = wl_registry_bind(registry, name, wanted[i], 1);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data, (void)registry, (void)name;
}

/* The first configure is answered with the window's buffer, which maps it. */
static void configure(void *surface, struct xdg_surface *xdg_surface, uint32_t serial) {
  xdg_surface_ack_configure(xdg_surface, serial);
  wl_surface_attach(surface, buffer, 0, 0);
  wl_surface_commit(surface);
  configured = 1;
}

int main(void) {
  static const struct wl_registry_listener registry_listener = {global, global_remove};
  static const struct xdg_surface_listener surface_listener = {configure};
  struct wl_display *display = wl_display_connect(NULL);
  int fd = memfd_create("idle_inhibitor", MFD_CLOEXEC); /* zeros: black */
  if (display == NULL || fd < 0 || ftruncate(fd, kSize) < 0)
    return 1;
  wl_registry_add_listener(wl_display_get_registry(display), &registry_listener, NULL);
  if (wl_display_roundtrip(display) < 0 || !compositor || !shm || !wm_base || !manager)
    return fputs("idle_inhibitor: no zwp_idle_inhibit_manager_v1 or xdg_wm_base\n", stderr), 1;
  struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, kSize);
  buffer = wl_shm_pool_create_buffer(pool, 0, kSide, kSide, kSide * 4, WL_SHM_FORMAT_XRGB8888);
  struct wl_surface *surface = wl_compositor_create_surface(compositor);
  struct xdg_surface *xdg_surface = xdg_wm_base_get_xdg_surface(wm_base, surface);
  xdg_surface_add_listener(xdg_surface, &surface_listener, surface);
  xdg_surface_get_toplevel(xdg_surface);
  wl_surface_commit(surface); /* with no buffer: asks for the first configure */
  while (!configured)
    if (wl_display_dispatch(display) < 0)
      return 1;
  struct zwp_idle_inhibitor_v1 *inhibitor =
      zwp_idle_inhibit_manager_v1_create_inhibitor(manager, surface);
  char line[16];
  if (wl_display_roundtrip(display) < 0 || puts("inhibiting") < 0 || fflush(stdout) ||
      fgets(line, sizeof line, stdin) == NULL)
    return 1;
  zwp_idle_inhibitor_v1_destroy(inhibitor);
  return wl_display_roundtrip(display) < 0 || puts("released") < 0 || fflush(stdout);
}
