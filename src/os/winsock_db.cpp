// The database calls of the Winsock layer: host, service and protocol entries, the local host
// name and the address and byte-order helpers. Entries live in per-thread storage, so that a
// worker thread resolving the server does not overwrite what another thread reads.
#include <arpa/inet.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "os/winsock.h"
#include "os/winsock_errors.h"

namespace os::ws {
namespace {

// Owned copies of a zero-terminated list of texts, with the list of pointers Winsock hands out.
class TextList {
 public:
  void Assign(char** texts) {
    texts_.clear();
    for (; texts != nullptr && *texts != nullptr; ++texts) texts_.emplace_back(*texts);
    pointers_.clear();
    for (std::string& text : texts_) pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
  }
  char** Pointers() { return pointers_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

struct HostStorage {
  std::string name;
  TextList aliases;
  std::vector<std::array<char, 4>> addresses;
  std::vector<char*> addressPointers;
  HOSTENT entry{};
};

struct ServiceStorage {
  std::string name;
  std::string protocol;
  TextList aliases;
  SERVENT entry{};
};

struct ProtocolStorage {
  std::string name;
  TextList aliases;
  PROTOENT entry{};
};

thread_local HostStorage t_host;
thread_local ServiceStorage t_service;
thread_local ProtocolStorage t_protocol;

// The entry functions' buffer for the system's reentrant look-ups.
constexpr std::size_t kLookUpBufferSize = 4096;

// A failed look-up: no entry, and the reason as the thread's last error.
template <typename Entry>
Entry* NoEntry(int wsaError) {
  FailWith(wsaError);
  return nullptr;
}

HOSTENT* FillHost(const char* name, const addrinfo* results) {
  HostStorage& host = t_host;
  host.name = (results->ai_canonname != nullptr) ? results->ai_canonname : name;
  host.aliases.Assign(nullptr);
  host.addresses.clear();
  for (const addrinfo* result = results; result != nullptr; result = result->ai_next) {
    std::array<char, 4> address;
    std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr,
                4);
    bool known = false;
    for (const auto& seen : host.addresses) known = known || seen == address;
    if (!known) host.addresses.push_back(address);
  }
  host.addressPointers.clear();
  for (auto& address : host.addresses) host.addressPointers.push_back(address.data());
  host.addressPointers.push_back(nullptr);
  host.entry = HOSTENT{host.name.data(), host.aliases.Pointers(), WS_AF_INET, 4,
                       host.addressPointers.data()};
  return &host.entry;
}

}  // namespace

HOSTENT* gethostbyname(const char* name) {
  if (!LibraryStarted()) return NoEntry<HOSTENT>(WSANOTINITIALISED);
  if (name == nullptr) return NoEntry<HOSTENT>(WSAEFAULT);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* results = nullptr;
  const int status = ::getaddrinfo(name, nullptr, &hints, &results);
  if (status != 0) return NoEntry<HOSTENT>(ErrorFromAddrInfo(status));
  HOSTENT* entry = FillHost(name, results);
  ::freeaddrinfo(results);
  return entry;
}

SERVENT* getservbyname(const char* name, const char* proto) {
  if (!LibraryStarted()) return NoEntry<SERVENT>(WSANOTINITIALISED);
  if (name == nullptr) return NoEntry<SERVENT>(WSAEFAULT);
  servent found;
  servent* result = nullptr;
  std::vector<char> buffer(kLookUpBufferSize);
  ::getservbyname_r(name, proto, &found, buffer.data(), buffer.size(), &result);
  if (result == nullptr) return NoEntry<SERVENT>(WSANO_DATA);
  ServiceStorage& service = t_service;
  service.name = found.s_name;
  service.protocol = found.s_proto;
  service.aliases.Assign(found.s_aliases);
  service.entry = SERVENT{service.name.data(), service.aliases.Pointers(),
                          static_cast<short>(found.s_port), service.protocol.data()};
  return &service.entry;
}

PROTOENT* getprotobyname(const char* name) {
  if (!LibraryStarted()) return NoEntry<PROTOENT>(WSANOTINITIALISED);
  if (name == nullptr) return NoEntry<PROTOENT>(WSAEFAULT);
  protoent found;
  protoent* result = nullptr;
  std::vector<char> buffer(kLookUpBufferSize);
  ::getprotobyname_r(name, &found, buffer.data(), buffer.size(), &result);
  if (result == nullptr) return NoEntry<PROTOENT>(WSANO_DATA);
  ProtocolStorage& protocol = t_protocol;
  protocol.name = found.p_name;
  protocol.aliases.Assign(found.p_aliases);
  protocol.entry = PROTOENT{protocol.name.data(), protocol.aliases.Pointers(),
                            static_cast<short>(found.p_proto)};
  return &protocol.entry;
}

int gethostname(char* name, int namelen) {
  if (!LibraryStarted()) return FailWith(WSANOTINITIALISED);
  char own[HOST_NAME_MAX + 1] = {};
  if (::gethostname(own, sizeof own - 1) != 0) return FailWithErrno(errno);
  const std::size_t length = std::strlen(own);
  if (name == nullptr || namelen < 0 || static_cast<std::size_t>(namelen) <= length) {
    return FailWith(WSAEFAULT);
  }
  std::memcpy(name, own, length + 1);
  return 0;
}

u_short(htons)(u_short hostshort) {
  if constexpr (std::endian::native == std::endian::big) return hostshort;
  return static_cast<u_short>((hostshort << 8) | (hostshort >> 8));
}

u_long inet_addr(const char* cp) {
  if (cp == nullptr) return WS_INADDR_NONE;
  return ::inet_addr(cp);
}

}  // namespace os::ws
