#include "os/winsock_errors.h"

#include <netdb.h>

#include <cerrno>

#include "os/winsock.h"

namespace os::ws {
namespace {

struct ErrnoMapping {
  int error;
  int wsaError;
};

// Winsock's codes are the BSD error numbers above 10000; Linux numbers them differently.
constexpr ErrnoMapping kErrnoMappings[] = {
    {EINTR, WSAEINTR},
    {ECANCELED, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {ENOTSOCK, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},  // a non-blocking connect under way, as Winsock reports it
    {EALREADY, WSAEALREADY},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},  // sending on a connection that the peer has reset
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
};

}  // namespace

int ErrorFromErrno(int error) {
  for (const ErrnoMapping& mapping : kErrnoMappings) {
    if (mapping.error == error) return mapping.wsaError;
  }
  // Whatever else the system reports leaves the network layer unusable for this call.
  return WSASYSNOTREADY;
}

int ErrorFromAddrInfo(int result) {
  switch (result) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_SYSTEM:
      return ErrorFromErrno(errno);
    default:
      return WSANO_RECOVERY;
  }
}

int FailWithErrno(int error) {
  return FailWith(ErrorFromErrno(error));
}

int FailWith(int wsaError) {
  WSASetLastError(wsaError);
  return SOCKET_ERROR;
}

}  // namespace os::ws
