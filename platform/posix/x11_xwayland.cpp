// Telling Xwayland from an X server of its own: Xwayland reports pointer motion only over X
// windows, so the X11 way never watches it (x11.cpp refuses it at start-up). Four signs tell it,
// read on a connection the connecting thread made (x11_display.cpp).

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/randr.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "x11_display.h"

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

// Whether the server has the extension newer Xwaylands have.
static bool HasXwaylandExtension(xcb_connection_t* connection) {
  const char kName[] = "XWAYLAND";
  xcb_query_extension_reply_t* extension = xcb_query_extension_reply(
      connection, xcb_query_extension(connection, sizeof kName - 1, kName), nullptr);
  const bool present = extension != nullptr && extension->present;
  free(extension);
  return present;
}

// Whether one of the server's RandR outputs has Xwayland's name: XWAYLAND0, ... (it may have
// none, or no RandR).
static bool HasXwaylandOutput(xcb_connection_t* connection, xcb_window_t root) {
  const char kName[] = "XWAYLAND";
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
  if (randr == nullptr || !randr->present) {
    return false;
  }
  xcb_randr_get_screen_resources_current_reply_t* resources =
      xcb_randr_get_screen_resources_current_reply(
          connection, xcb_randr_get_screen_resources_current(connection, root), nullptr);
  if (resources == nullptr) {
    return false;
  }
  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources);
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources);
  bool found = false;
  for (int i = 0; i < count && !found; ++i) {
    xcb_randr_get_output_info_reply_t* output = xcb_randr_get_output_info_reply(
        connection, xcb_randr_get_output_info(connection, outputs[i], resources->config_timestamp),
        nullptr);
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

bool IsXwayland(xcb_connection_t* connection, xcb_window_t root, int number) {
  ucred peer = {};
  socklen_t size = sizeof peer;
  char pid[16];
  const bool local =
      getsockopt(xcb_get_file_descriptor(connection), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
      peer.pid > 0;
  snprintf(pid, sizeof pid, "%d", static_cast<int>(peer.pid));
  return (local && (IsXwaylandProcess(pid) || XwaylandServes(peer.uid, number))) ||
         HasXwaylandExtension(connection) || HasXwaylandOutput(connection, root);
}
