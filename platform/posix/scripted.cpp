// Scripted test double for the platform API: the cursor follows a timeline given by the test,
// time is virtual (Sleep advances the clock at once), and every call is appended to a trace
// file for the test to read, the session's lock included. The C runtime stays real: printf and
// exit are untouched, and so is system, except in the build with the Windows lock command,
// which no shell here could run: there the linker sends system to __wrap_system, which traces
// the command line.
//
// Environment, read by the double only:
//   MOUSETRAP_SCRIPT  timeline of "T:X,Y" (cursor at X,Y from virtual ms T on) and "T:fail"
//                     (reads fail from T on), in rising T; reads before the first entry fail
//   MOUSETRAP_TRACE   file the trace lines are appended to
//   MOUSETRAP_UNTIL   virtual ms at which the process is stopped with status 124, as if
//                     terminated from outside (standard output is flushed first, so the test
//                     sees what the program handed over)
//   MOUSETRAP_SYSTEM_DIR  what GetSystemDirectoryA reports; unset, it fails
//   MOUSETRAP_SYSTEM_STATUS  what __wrap_system returns (0 when unset); LockWorkStation
//                     succeeds when it is 0 or unset

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_api.h"

namespace {

struct Sample {
  std::int64_t at;
  bool ok;
  LONG x;
  LONG y;
};

constexpr int kMaxSamples = 64;
Sample g_script[kMaxSamples];
int g_scriptLength = 0;
bool g_loaded = false;
std::int64_t g_now = 0;
std::int64_t g_until = INT64_MAX;
char g_tracePath[4096];

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "scripted platform: %s\n", what);
  _exit(125);
}

void Trace(const char* format, ...) {
  char line[1024];  // room for a whole 511-character command line
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (length < 0 || length >= static_cast<int>(sizeof line) - 1) {
    Fail("trace line too long");
  }
  line[length] = '\n';
  const int fd = open(g_tracePath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, line, length + 1) != length + 1) {
    Fail("cannot write the trace");
  }
  close(fd);
}

std::int64_t ParseNumber(const char* text, char** end, std::int64_t low, std::int64_t high) {
  errno = 0;
  const long long value = strtoll(text, end, 10);
  if (*end == text || errno != 0 || value < low || value > high) {
    Fail("bad number in MOUSETRAP_SCRIPT");
  }
  return value;
}

void Load() {
  if (g_loaded) {
    return;
  }
  g_loaded = true;
  const char* trace = getenv("MOUSETRAP_TRACE");
  if (trace == nullptr || strlen(trace) >= sizeof g_tracePath) {
    Fail("MOUSETRAP_TRACE must name a file");
  }
  strcpy(g_tracePath, trace);
  if (const char* until = getenv("MOUSETRAP_UNTIL")) {
    char* end;
    g_until = ParseNumber(until, &end, 0, INT64_MAX);
  }
  const char* text = getenv("MOUSETRAP_SCRIPT");
  char* end = nullptr;
  while (text != nullptr && *text != '\0') {
    if (*text == ' ') {
      ++text;
      continue;
    }
    if (g_scriptLength == kMaxSamples) {
      Fail("MOUSETRAP_SCRIPT is too long");
    }
    Sample& sample = g_script[g_scriptLength++];
    sample.at = ParseNumber(text, &end, 0, INT64_MAX);
    if (*end != ':') {
      Fail("expected ':' in MOUSETRAP_SCRIPT");
    }
    text = end + 1;
    sample.ok = strncmp(text, "fail", 4) != 0;
    if (!sample.ok) {
      text += 4;
      continue;
    }
    sample.x = static_cast<LONG>(ParseNumber(text, &end, INT32_MIN, INT32_MAX));
    if (*end != ',') {
      Fail("expected ',' in MOUSETRAP_SCRIPT");
    }
    sample.y = static_cast<LONG>(ParseNumber(end + 1, &end, INT32_MIN, INT32_MAX));
    text = end;
  }
}

}  // namespace

void PrepareToWatch() {
  Load();
  Trace("prepare");
}

void Sleep(DWORD milliseconds) {
  Load();
  // Bytes that have reached standard output (a file here) so far: what a reader sees, not what
  // still waits in the C runtime's buffer.
  Trace("sleep %" PRIu32 " at %" PRId64 " out %lld", milliseconds, g_now,
        static_cast<long long>(lseek(STDOUT_FILENO, 0, SEEK_CUR)));
  g_now += milliseconds;
  if (g_now >= g_until) {
    Trace("stopped at %" PRId64, g_now);
    fflush(stdout);
    _exit(124);
  }
}

BOOL GetCursorPos(POINT* point) {
  Load();
  const Sample* current = nullptr;
  for (int i = 0; i < g_scriptLength && g_script[i].at <= g_now; ++i) {
    current = &g_script[i];
  }
  if (current == nullptr || !current->ok) {
    Trace("read at %" PRId64 " fail", g_now);
    return 0;
  }
  Trace("read at %" PRId64 " %" PRId32 " %" PRId32, g_now, current->x, current->y);
  *point = POINT{current->x, current->y};
  return 1;
}

HANDLE GetStdHandle(DWORD which) {
  Load();
  Trace("handle %" PRId32, static_cast<std::int32_t>(which));
  return reinterpret_cast<HANDLE>(0x5700);
}

BOOL WriteConsoleW(HANDLE console, const void* text, DWORD count, DWORD* written, void* reserved) {
  Load();
  // The text as UTF-16LE bytes in hex, whatever the host's byte order.
  char hex[4 * 64 + 1] = "";
  const auto* units = static_cast<const WCHAR*>(text);
  for (DWORD i = 0; i < count && i < 64; ++i) {
    snprintf(hex + 4 * i, 5, "%02x%02x", units[i] & 0xFF, units[i] >> 8);
  }
  Trace("console %p %" PRIu32 " %s written=%s reserved=%s", console, count, hex,
        written ? "set" : "null", reserved ? "set" : "null");
  if (written != nullptr) {
    *written = count;
  }
  return 1;
}

UINT GetSystemDirectoryA(char* buffer, UINT size) {
  Load();
  const char* folder = getenv("MOUSETRAP_SYSTEM_DIR");
  Trace("sysdir %u", size);
  if (folder == nullptr) {
    return 0;
  }
  const size_t length = strlen(folder);
  if (length >= size) {
    return static_cast<UINT>(length + 1);
  }
  memcpy(buffer, folder, length + 1);
  return static_cast<UINT>(length);
}

static int Outcome() {
  const char* status = getenv("MOUSETRAP_SYSTEM_STATUS");
  return status != nullptr ? atoi(status) : 0;
}

extern "C" int __wrap_system(const char* command) {
  Load();
  Trace("system %s", command);
  return Outcome();
}

BOOL LockWorkStation() {
  Load();
  Trace("lock");
  return Outcome() == 0;
}
