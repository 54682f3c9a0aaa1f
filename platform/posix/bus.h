// What the program's users of D-Bus share: a connection made within a time limit, calls that
// wait for their answer no longer than a deadline (milliseconds on the monotonic clock), and
// what their answers and errors mean.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>

// The system bus (`system`) or the user's session bus, ready for calls; null when there is
// none, or when it has not let us in by `deadline`. `absent` tells which: true when there
// certainly is none (no address, nothing listening there).
sd_bus* OpenBus(bool system, std::int64_t deadline, bool* absent);

// Calls `member` of `interface` at `path` of `destination`, with the arguments `types` ("",
// "s" or "ss") says, and waits for the answer until `deadline`. The reply, or null with
// `error` set (the callee's error, or the bus's, or a time-out).
sd_bus_message* CallUntil(sd_bus* bus, const char* destination, const char* path,
                          const char* interface, const char* member, std::int64_t deadline,
                          sd_bus_error* error, const char* types = "", const char* first = nullptr,
                          const char* second = nullptr);

// 1 when `name` has an owner on the bus, 0 when not, negative when the bus did not say in time.
int HasOwner(sd_bus* bus, const char* name, std::int64_t deadline);

// What the call of `member` answered, "b" or a property's "v" holding "b": 1 true, 0 false (or
// no answer in time), -1 when nobody is there to answer.
int Answer(sd_bus* bus, const char* destination, const char* path, const char* interface,
           const char* member, std::int64_t deadline, const char* types = "",
           const char* first = nullptr, const char* second = nullptr);

// Whether `error` says that nobody at all is there to answer.
bool NobodyThere(const sd_bus_error* error);

// What `error` says, for a line of ours: its message, else its name.
const char* Message(const sd_bus_error* error);
