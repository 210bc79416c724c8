// What the layer knows of each socket, and how readiness of a socket under WSAAsyncSelect
// turns into notifications under Winsock's re-enabling rules: each event is recorded once and
// again only after its re-enabling call (FD_READ after a recv, FD_WRITE after a send that
// would block), FD_CLOSE once and only after the data before it has been read.
#pragma once

#include <cstdint>
#include <vector>

#include "os/winsock.h"

namespace os::ws {

enum class ConnectState { Idle, Connecting, Connected, Failed };

struct SocketEntry {
  std::uint64_t serial = 0;  // tells a socket apart from a later one with the same descriptor
  bool nonBlocking = false;
  bool sendShutDown = false;
  ConnectState connectState = ConnectState::Idle;
  // The WSAAsyncSelect request; no window and no events when none is in force.
  ComponentWindow* window = nullptr;
  unsigned message = 0;
  long events = 0;
  bool readEnabled = true;
  bool writeEnabled = false;
  bool closeEnabled = true;  // the end of the stream has not been seen yet
};

struct Notice {
  long event;
  int error;
  bool operator==(const Notice&) const = default;
};

// Puts a WSAAsyncSelect request in force (lEvent 0 cancels) and records again the conditions
// that already hold, as a new request does in Winsock.
void Select(SocketEntry& entry, ComponentWindow* window, unsigned message, long events);

// The poll() events the entry waits for; 0 when nothing is awaited, so that the socket is not
// watched at all.
short InterestOf(const SocketEntry& entry);

// The notifications that readiness `revents` of socket `s` gives, in posting order; marks
// each one as recorded in the entry.
std::vector<Notice> TakeNotices(SOCKET s, SocketEntry& entry, short revents);

}  // namespace os::ws
