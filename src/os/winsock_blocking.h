// Blocking calls. A call on a blocking socket waits here until the socket is ready, and while
// it waits the calling thread keeps handling its Qt events (Winsock's default blocking hook),
// so that a component timer can fire and cancel the call. Blocking state is per thread.
#pragma once

#include "os/winsock.h"

namespace os::ws {

// 0 once `s` is ready for the poll() `events`; otherwise the Winsock code that ends the
// call: WSAEINTR when the call was cancelled or the socket closed under it.
int WaitUntilReady(SOCKET s, short events);

// Whether the calling thread is waiting in a blocking call (this call is then made from
// inside the blocking hook).
bool IsBlockingOnThisThread();

// Makes the calling thread's waiting call fail with WSAEINTR; false when none waits.
bool CancelBlockingOnThisThread();

}  // namespace os::ws
