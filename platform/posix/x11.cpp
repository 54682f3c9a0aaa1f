// Watching an X11 session: the pointer itself, read through XCB.

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_api.h"
#include "watch_way.h"

// The X connection, made at the first read and made anew by the first read after it broke,
// so the program recovers when the display comes back. XCB reports a failed connection as a
// state to test, where Xlib would end the process.
static xcb_connection_t* g_connection = nullptr;
static xcb_window_t g_root = 0;

// Reads at most `size` bytes of /proc/<pid>/<name>; how many, or -1.
static ssize_t ReadProcFile(const char* pid, const char* name, char* buffer, size_t size) {
  char path[sizeof(dirent::d_name) + 16];
  snprintf(path, sizeof path, "/proc/%s/%s", pid, name);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  const ssize_t length = read(fd, buffer, size);
  close(fd);
  return length;
}

static bool IsXwaylandProcess(const char* pid) {
  const char kComm[] = "Xwayland\n";
  char comm[sizeof kComm];
  return ReadProcFile(pid, "comm", comm, sizeof comm) == sizeof kComm - 1 &&
         memcmp(comm, kComm, sizeof kComm - 1) == 0;
}

// Whether an Xwayland of user `uid` serves display `number`: one of its arguments is ":number".
static bool XwaylandServes(uid_t uid, int number) {
  char display[16];
  snprintf(display, sizeof display, ":%d", number);
  DIR* processes = opendir("/proc");
  if (processes == nullptr) {
    return false;
  }
  bool found = false;
  dirent* entry;
  while (!found && (entry = readdir(processes)) != nullptr) {
    struct stat owner;
    char arguments[512];
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9' ||
        fstatat(dirfd(processes), entry->d_name, &owner, 0) != 0 || owner.st_uid != uid ||
        !IsXwaylandProcess(entry->d_name)) {
      continue;
    }
    const ssize_t length = ReadProcFile(entry->d_name, "cmdline", arguments, sizeof arguments - 1);
    arguments[length > 0 ? length : 0] = '\0';
    for (ssize_t i = 0; i < length && !found; i += strlen(arguments + i) + 1) {
      found = strcmp(arguments + i, display) == 0;
    }
  }
  closedir(processes);
  return found;
}

// Whether the X server behind the connection's local socket is Xwayland (false over TCP, or
// when its process is out of sight, as in another PID namespace). The process at the other end
// is the one that made the socket: Xwayland itself, or the compositor that handed the socket to
// the Xwayland it started for that display, as its user.
static bool PeerIsXwayland() {
  ucred peer = {};
  socklen_t size = sizeof peer;
  char pid[16];
  char* host = nullptr;
  int number = -1;
  int screen = 0;
  if (getsockopt(xcb_get_file_descriptor(g_connection), SOL_SOCKET, SO_PEERCRED, &peer, &size) !=
          0 ||
      peer.pid <= 0) {
    return false;
  }
  snprintf(pid, sizeof pid, "%d", static_cast<int>(peer.pid));
  if (IsXwaylandProcess(pid)) {
    return true;
  }
  const bool parsed = xcb_parse_display(nullptr, &host, &number, &screen) != 0;
  free(host);
  return parsed && XwaylandServes(peer.uid, number);
}

// Xwayland reports pointer motion only over X windows: there the tool would look armed while
// motion over every other window went unseen. Xwayland is the process behind the socket; it
// names its RandR outputs XWAYLAND0, ... (it may have none); newer ones also have an extension
// of that name.
static bool IsXwayland() {
  const char kName[] = "XWAYLAND";
  xcb_query_extension_reply_t* extension = xcb_query_extension_reply(
      g_connection, xcb_query_extension(g_connection, sizeof kName - 1, kName), nullptr);
  bool found = PeerIsXwayland() || (extension != nullptr && extension->present);
  free(extension);
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(g_connection, &xcb_randr_id);
  if (found || randr == nullptr || !randr->present) {
    return found;
  }
  xcb_randr_get_screen_resources_current_reply_t* resources =
      xcb_randr_get_screen_resources_current_reply(
          g_connection, xcb_randr_get_screen_resources_current(g_connection, g_root), nullptr);
  if (resources == nullptr) {
    return false;
  }
  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources);
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources);
  for (int i = 0; i < count && !found; ++i) {
    xcb_randr_get_output_info_reply_t* output = xcb_randr_get_output_info_reply(
        g_connection,
        xcb_randr_get_output_info(g_connection, outputs[i], resources->config_timestamp), nullptr);
    if (output != nullptr) {
      const int length = xcb_randr_get_output_info_name_length(output);
      found = length >= static_cast<int>(sizeof kName - 1) &&
              memcmp(xcb_randr_get_output_info_name(output), kName, sizeof kName - 1) == 0;
    }
    free(output);
  }
  free(resources);
  return found;
}

static bool Connect() {
  if (g_connection != nullptr && !xcb_connection_has_error(g_connection)) {
    return true;
  }
  if (g_connection != nullptr) {
    xcb_disconnect(g_connection);
  }
  int screen = 0;
  g_connection = xcb_connect(nullptr, &screen);
  if (xcb_connection_has_error(g_connection)) {
    return false;
  }
  // The lock command must not inherit the connection.
  fcntl(xcb_get_file_descriptor(g_connection), F_SETFD, FD_CLOEXEC);
  xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(g_connection));
  for (; roots.rem > 0 && screen > 0; --screen) {
    xcb_screen_next(&roots);
  }
  if (roots.rem == 0) {
    xcb_disconnect(g_connection);
    g_connection = nullptr;
    return false;
  }
  g_root = roots.data->root;
  if (IsXwayland()) {
    fputs(
        "mousetrap: this display is Xwayland, which shows pointer motion only over X windows, "
        "so motion elsewhere would go unseen; not watching. Run mousetrap in an X11 session, or "
        "in a Wayland session that offers idle notifications.\n",
        stderr);
    exit(2);
  }
  return true;
}

static BOOL Read(POINT* point) {
  if (!Connect()) {
    return 0;
  }
  // Events the server sends every client (MappingNotify, ...) are of no use here. Dropped one by
  // one as they are read, before asking, so that neither they pile up for as long as the tool
  // runs nor a burst of them is queued whole ahead of the reply.
  while (xcb_generic_event_t* event = xcb_poll_for_event(g_connection)) {
    free(event);
  }
  xcb_query_pointer_reply_t* reply =
      xcb_query_pointer_reply(g_connection, xcb_query_pointer(g_connection, g_root), nullptr);
  if (reply == nullptr) {
    return 0;
  }
  point->x = reply->root_x;
  point->y = reply->root_y;
  free(reply);
  return 1;
}

// Chosen when DISPLAY names a display; one that is not up yet is tried again at every read.
static bool ConnectWay() {
  const char* display = getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    return false;
  }
  Connect();
  return true;
}

const WatchWay kX11PointerWay = {"DISPLAY is not set", ConnectWay, Read};
