// The connection to the X server at DISPLAY (x11_display.cpp), shared by the X11 way (x11.cpp)
// and the keyboard-grab question (x11_grab.cpp), and the signs of Xwayland (x11_xwayland.cpp).
#pragma once

#include <xcb/xcb.h>

#include <cstdint>

// DISPLAY's display and screen numbers, read once at start-up.
extern int g_displayNumber;
extern int g_screen;

// The connection in use and its screen's root window; null while there is none.
extern xcb_connection_t* g_connection;
extern xcb_window_t g_root;

// Whether the connecting thread runs, and what it made (read only once it has ended): null when
// it could not connect, and whether the server is Xwayland.
extern bool g_isConnecting;
extern xcb_connection_t* g_made;
extern bool g_madeIsXwayland;
// The first line of the server's reason when it answered and refused the connection (a wrong or
// missing cookie), else empty.
extern char g_refusal[256];

// Starts the connecting thread unless it runs already, and waits for it until `deadline`;
// true when it has ended, its connection (or none) in g_made.
bool Connecting(std::int64_t deadline);
// Keeps the connection the thread made as the one in use.
void Keep();
// The reply to request `sequence`, waited for no longer than `deadline`; null when the server
// answered with an error, or did not answer in time, or the connection broke. A connection
// whose answer is late is closed (a late reply would be taken for another's); `lost` is then
// reported, unless null.
void* ReplyUntil(unsigned int sequence, std::int64_t deadline, const char* lost);

// Whether the server behind `connection` is Xwayland, which reports pointer motion only over X
// windows: there the tool would look armed while motion over every other window went unseen.
// Any of four signs tells it: the process behind the connection's local socket is Xwayland; or
// that process (the compositor that made the socket and handed it to the Xwayland it started,
// as its user) has an Xwayland serving display `number`; or the server has the XWAYLAND
// extension; or a RandR output of Xwayland's name. The process is out of sight over TCP, or in
// another PID namespace.
bool IsXwayland(xcb_connection_t* connection, xcb_window_t root, int number);
