// Winsock 1.1 over POSIX sockets: the calls the socket component makes, with Winsock's names,
// results and error codes. A socket handle is the POSIX descriptor; only descriptors created
// by `socket` count as sockets here, anything else is "not a socket" (10038).
//
// WSAAsyncSelect is emulated from the event loop of the thread that owns the component window:
// that loop watches the socket, turns its readiness into FD_* messages under Winsock's
// re-enabling rules and posts them to the window, whichever thread made the request. A
// blocking call keeps the calling thread's Qt events flowing while it waits (Winsock's default
// blocking hook) and can be cancelled with WSACancelBlockingCall.
//
// The constants whose plain Winsock names are macros in the POSIX headers (AF_INET, FIONBIO,
// SO_LINGER, ...) carry a WS_ prefix, so that this header and those can meet in one file.
#pragma once

#include <cstdint>

namespace os {
class ComponentWindow;
}

namespace os::ws {

using SOCKET = int;
using u_short = std::uint16_t;
using u_long = std::uint32_t;

constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Error codes.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Address family, socket types, protocols.
constexpr int WS_AF_INET = 2;
constexpr int WS_SOCK_STREAM = 1;
constexpr int WS_SOCK_DGRAM = 2;
constexpr int WS_IPPROTO_TCP = 6;
constexpr u_long WS_INADDR_NONE = 0xFFFFFFFFu;

// Socket options.
constexpr int WS_SOL_SOCKET = 0xFFFF;
constexpr int WS_SO_KEEPALIVE = 0x0008;
constexpr int WS_SO_LINGER = 0x0080;
constexpr int WS_SO_SNDBUF = 0x1001;
constexpr int WS_SO_RCVBUF = 0x1002;
constexpr int WS_TCP_NODELAY = 0x0001;

// ioctlsocket commands.
constexpr u_long WS_FIONBIO = 0x8004667Eu;
constexpr u_long WS_FIONREAD = 0x4004667Fu;

// send/recv flags.
constexpr int WS_MSG_OOB = 0x1;
constexpr int WS_MSG_PEEK = 0x2;
constexpr int WS_MSG_DONTROUTE = 0x4;

// shutdown directions.
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// WSAAsyncSelect events.
constexpr long FD_READ = 1;
constexpr long FD_WRITE = 2;
constexpr long FD_OOB = 4;
constexpr long FD_ACCEPT = 8;
constexpr long FD_CONNECT = 16;
constexpr long FD_CLOSE = 32;
constexpr long FD_ALL_EVENTS = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// The lParam of a notification: the event in the low 16 bits, the error in the high 16 bits.
constexpr std::intptr_t WSAMAKESELECTREPLY(unsigned event, unsigned error) {
  return static_cast<std::intptr_t>((event & 0xFFFFu) | ((error & 0xFFFFu) << 16));
}
constexpr unsigned WSAGETSELECTEVENT(std::intptr_t lParam) {
  return static_cast<unsigned>(lParam) & 0xFFFFu;
}
constexpr unsigned WSAGETSELECTERROR(std::intptr_t lParam) {
  return (static_cast<unsigned>(lParam) >> 16) & 0xFFFFu;
}

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

struct WSADATA {
  std::uint16_t wVersion;
  std::uint16_t wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  std::uint16_t iMaxSockets;
  std::uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};

// The 2 x 16-bit linger record of Winsock (POSIX's has two ints).
struct LINGER {
  u_short l_onoff;
  u_short l_linger;
};

struct IN_ADDR {
  u_long s_addr;  // network byte order
};

struct SOCKADDR {
  u_short sa_family;
  char sa_data[14];
};

struct SOCKADDR_IN {
  short sin_family;
  u_short sin_port;  // network byte order
  IN_ADDR sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);

// Database entries. They live in per-thread storage that the next call of the same function
// on that thread overwrites, as Winsock's do.
struct HOSTENT {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;  // addresses in network byte order, h_length bytes each
};

struct SERVENT {
  char* s_name;
  char** s_aliases;
  short s_port;  // network byte order
  char* s_proto;
};

struct PROTOENT {
  char* p_name;
  char** p_aliases;
  short p_proto;
};

// Start and stop. Calls other than inet_addr and htons fail with WSANOTINITIALISED unless the
// library is started; the last WSACleanup closes every socket still open.
int WSAStartup(std::uint16_t wVersionRequested, WSADATA* lpWSAData);
int WSACleanup();

// The code of the last failure on the calling thread.
int WSAGetLastError();
void WSASetLastError(int iError);

SOCKET socket(int af, int type, int protocol);
int connect(SOCKET s, const SOCKADDR* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
// The socket's own address (IPv4, the only family the layer makes).
int getsockname(SOCKET s, SOCKADDR* name, int* namelen);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int ioctlsocket(SOCKET s, u_long cmd, u_long* argp);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);

// Notifications as messages `wMsg` to `hWnd` (wParam the socket, lParam WSAMAKESELECTREPLY);
// lEvent 0 cancels them. Puts the socket in non-blocking mode. May be called from any thread;
// the notifications start once the window's thread runs its event loop.
int WSAAsyncSelect(SOCKET s, ComponentWindow* hWnd, unsigned wMsg, long lEvent);

HOSTENT* gethostbyname(const char* name);
SERVENT* getservbyname(const char* name, const char* proto);
PROTOENT* getprotobyname(const char* name);
int gethostname(char* name, int namelen);
// Parenthesised so that a POSIX htons macro in scope cannot rewrite the declaration.
u_short(htons)(u_short hostshort);
u_long inet_addr(const char* cp);

// Blocking calls in progress on the calling thread, and their cancellation.
bool WSAIsBlocking();
int WSACancelBlockingCall();

// A window that goes away receives nothing more: its notification requests are dropped, as
// posting to a destroyed window goes nowhere.
void ForgetWindow(ComponentWindow* hWnd);

// For the calling thread's windows: takes what the sockets have ready now and posts the
// notifications it gives, as the thread's loop would the next time it looked. Tests use it to
// have notifications queued, and then delivered or dropped, at a moment of their choosing.
void PostReadinessNow();

}  // namespace os::ws
