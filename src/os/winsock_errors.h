// Translation of the system's failure codes into Winsock's.
#pragma once

namespace os::ws {

// The Winsock code for a socket call's errno value.
int ErrorFromErrno(int error);

// The Winsock code for a getaddrinfo result (EAI_*), for the name look-ups.
int ErrorFromAddrInfo(int result);

// Whether WSAStartup is in force; calls other than inet_addr and htons fail with
// WSANOTINITIALISED while it is not.
bool LibraryStarted();

// Records the Winsock code for `error` as the calling thread's last error; returns
// SOCKET_ERROR so that a failing call can end with `return FailWithErrno(errno);`.
int FailWithErrno(int error);
// The same with a Winsock code.
int FailWith(int wsaError);

}  // namespace os::ws
