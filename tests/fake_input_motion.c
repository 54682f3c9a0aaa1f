/* For the Wayland test: moves KWin's pointer one pixel through org_kde_kwin_fake_input (offered
   only to programs a desktop file allows) for each line on standard input, and writes a line
   once KWin has taken it (a round trip); the first line says it is ready. */
#include <stdio.h>
#include <string.h>
#include <wayland-client.h>

#include "fake-input-client-protocol.h"

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version) {
  (void)version;
  if (strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0)
    *(struct org_kde_kwin_fake_input **)data =
        wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 1);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data, (void)registry, (void)name;
}

int main(void) {
  static const struct wl_registry_listener listener = {global, global_remove};
  struct org_kde_kwin_fake_input *fake_input = NULL;
  struct wl_display *display = wl_display_connect(NULL);
  if (display == NULL)
    return 1;
  wl_registry_add_listener(wl_display_get_registry(display), &listener, &fake_input);
  if (wl_display_roundtrip(display) < 0 || fake_input == NULL)
    return fputs("fake_input_motion: no org_kde_kwin_fake_input\n", stderr), 1;
  org_kde_kwin_fake_input_authenticate(fake_input, "mousetrap tests", "one-pixel moves");
  for (char line[16]; wl_display_roundtrip(display) >= 0 && puts("ok") >= 0 && !fflush(stdout);
       org_kde_kwin_fake_input_pointer_motion(fake_input, wl_fixed_from_int(1), 0))
    if (fgets(line, sizeof line, stdin) == NULL)
      return 0;
  return 1;
}
