/* For the Wayland test: holds the compositor's idle off, as a video playing does: a small window
   (sway honours only an inhibitor whose window shows) with an idle inhibitor on it. Writes a
   line once the compositor has taken the inhibitor (a round trip), and holds it until a line on
   standard input (or its end), then writes a line once the compositor has taken its end; or
   until the compositor goes away. */
#define _GNU_SOURCE
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "idle-inhibit-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

enum { kSide = 16 };

static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm_base;
static struct zwp_idle_inhibit_manager_v1 *inhibit_manager;
static struct wl_surface *surface;
static struct wl_buffer *buffer;
static int configured;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version) {
  (void)data, (void)version;
  if (strcmp(interface, wl_compositor_interface.name) == 0)
    compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 1);
  else if (strcmp(interface, wl_shm_interface.name) == 0)
    shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
  else if (strcmp(interface, xdg_wm_base_interface.name) == 0)
    wm_base = wl_registry_bind(registry, name, &xdg_wm_base_interface, 1);
  else if (strcmp(interface, zwp_idle_inhibit_manager_v1_interface.name) == 0)
    inhibit_manager = wl_registry_bind(registry, name, &zwp_idle_inhibit_manager_v1_interface, 1);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data, (void)registry, (void)name;
}

static void ping(void *data, struct xdg_wm_base *base, uint32_t serial) {
  (void)data;
  xdg_wm_base_pong(base, serial);
}

/* Each configure is answered with the window's one buffer, which maps it. */
static void configure(void *data, struct xdg_surface *xdg_surface, uint32_t serial) {
  (void)data;
  xdg_surface_ack_configure(xdg_surface, serial);
  wl_surface_attach(surface, buffer, 0, 0);
  wl_surface_damage(surface, 0, 0, kSide, kSide);
  wl_surface_commit(surface);
  configured = 1;
}

/* A grey buffer of kSide x kSide pixels in shared memory. */
static struct wl_buffer *grey_buffer(void) {
  const int stride = kSide * 4, size = stride * kSide;
  int fd = memfd_create("idle_inhibitor", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, size) < 0)
    return NULL;
  void *pixels = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pixels == MAP_FAILED)
    return NULL;
  memset(pixels, 0x80, size);
  struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, size);
  struct wl_buffer *made =
      wl_shm_pool_create_buffer(pool, 0, kSide, kSide, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return made;
}

int main(void) {
  static const struct wl_registry_listener registry_listener = {global, global_remove};
  static const struct xdg_wm_base_listener wm_base_listener = {ping};
  static const struct xdg_surface_listener surface_listener = {configure};
  struct wl_display *display = wl_display_connect(NULL);
  if (display == NULL)
    return 1;
  wl_registry_add_listener(wl_display_get_registry(display), &registry_listener, NULL);
  if (wl_display_roundtrip(display) < 0 || !compositor || !shm || !wm_base || !inhibit_manager)
    return fputs("idle_inhibitor: no wl_compositor, wl_shm, xdg_wm_base or "
                 "zwp_idle_inhibit_manager_v1\n", stderr), 1;
  xdg_wm_base_add_listener(wm_base, &wm_base_listener, NULL);
  surface = wl_compositor_create_surface(compositor);
  if ((buffer = grey_buffer()) == NULL)
    return perror("idle_inhibitor: shared memory"), 1;
  struct xdg_surface *xdg_surface = xdg_wm_base_get_xdg_surface(wm_base, surface);
  xdg_surface_add_listener(xdg_surface, &surface_listener, NULL);
  xdg_toplevel_set_title(xdg_surface_get_toplevel(xdg_surface), "idle_inhibitor");
  wl_surface_commit(surface); /* with no buffer: asks for the first configure */
  while (!configured)
    if (wl_display_dispatch(display) < 0)
      return 1;
  struct zwp_idle_inhibitor_v1 *inhibitor =
      zwp_idle_inhibit_manager_v1_create_inhibitor(inhibit_manager, surface);
  if (wl_display_roundtrip(display) < 0 || puts("inhibiting") < 0 || fflush(stdout))
    return 1;
  /* Answers the compositor's pings meanwhile. */
  struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wl_display_get_fd(display), POLLIN, 0}};
  for (char line[16];;) {
    wl_display_flush(display);
    if (poll(fds, 2, -1) < 0)
      return 1;
    if (fds[0].revents) {
      fgets(line, sizeof line, stdin);
      zwp_idle_inhibitor_v1_destroy(inhibitor);
      return wl_display_roundtrip(display) < 0 || puts("released") < 0 || fflush(stdout);
    }
    if (fds[1].revents && wl_display_dispatch(display) < 0)
      return 0; /* the compositor has gone */
  }
}
