// The one line of a failed lock: what each route tried and why it failed, in the order tried.

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "linux.h"
#include "lock_route.h"

static char g_tried[1024];

void Tried(const char* format, ...) {
  const size_t used = strlen(g_tried);
  if (used > 0 && used < sizeof g_tried - 2) {
    strcat(g_tried, "; ");
  }
  va_list args;
  va_start(args, format);
  vsnprintf(g_tried + strlen(g_tried), sizeof g_tried - strlen(g_tried), _(format), args);
  va_end(args);
  for (char* c = g_tried; *c != '\0'; ++c) {
    *c = static_cast<unsigned char>(*c) < ' ' ? ' ' : *c;  // one line, whatever a callee said
  }
}

void ClearTried() {
  g_tried[0] = '\0';
}

const char* TriedSoFar() {
  return g_tried;
}
