// Sockets and sleep: the EKNET_* functions and EKSLEEP_InTeRnAl.
//
// Addresses are IPv4 or IPv6 socket addresses in an EKNET_ADDRESS; ports inside an address are
// in network byte order, as the system keeps them (EKNET_GetPort/EKNET_SetPort read and write
// that field as stored). Every function returns 0 on success and a non-zero number on failure:
// the errno value for the socket calls, the getaddrinfo() code for name look-ups. Sockets are
// TCP stream sockets, close-on-exec. Thread-safe (no shared state).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <vector>

#include "host/Export.h"

typedef int EKSOCKET;
constexpr EKSOCKET EKNET_INVALID_SOCKET = -1;

struct HDFSAGENT_API EKNET_ADDRESS {
    sockaddr_storage m_oStorage{};
    socklen_t m_nLength = 0;  // 0: no address
    int Family() const { return m_oStorage.ss_family; }
};

// The result of a name look-up: every address, in the resolver's order (never empty when
// EKNET_name2ip succeeds). Released with EKNET_freehostent.
struct HDFSAGENT_API EKNET_HOSTENT {
    std::vector<EKNET_ADDRESS> m_vAddresses;
};

// 0 when `text` is a numeric IPv4 or IPv6 address, stored in `address` with port 0; otherwise
// EINVAL and `address` unchanged.
HDFSAGENT_API int EKNET_str2ip(const char* text, EKNET_ADDRESS& address);
// Resolves `name` (host name or numeric address) to its stream-socket addresses. On success 0
// and a new list in `result`; on failure the getaddrinfo code (or ENOMEM) and `result` null.
// `flags` is unused (kept for the host's signature).
HDFSAGENT_API int EKNET_name2ip(const char* name, EKNET_HOSTENT*& result, int flags);
HDFSAGENT_API void EKNET_freehostent(EKNET_HOSTENT* result);

// A new TCP socket of `family` (AF_INET, AF_INET6) in `socket`; EKNET_INVALID_SOCKET on failure.
HDFSAGENT_API int EKNET_socket(int family, EKSOCKET& socket);
HDFSAGENT_API int EKNET_bind(EKSOCKET socket, const EKNET_ADDRESS& address);
// Connects `socket` to `address`, waiting for the answer (ECONNREFUSED when nothing listens).
HDFSAGENT_API int EKNET_connect(EKSOCKET socket, const EKNET_ADDRESS& address);
// The address `socket` is bound to; with port 0 at bind time, the port the system chose.
HDFSAGENT_API int EKNET_getsockname(EKSOCKET socket, EKNET_ADDRESS& address);
HDFSAGENT_API int EKNET_close(EKSOCKET socket);

// The port field of an address, in network byte order (0 for an address of no known family).
HDFSAGENT_API uint16_t EKNET_GetPort(const EKNET_ADDRESS& address);
HDFSAGENT_API void EKNET_SetPort(EKNET_ADDRESS& address, uint16_t networkOrderPort);

// Sleeps `milliseconds`, resuming after signals until the whole time has passed. `file` and
// `line` name the caller (for tracing).
HDFSAGENT_API void EKSLEEP_InTeRnAl(unsigned long milliseconds, const char* file, int line);
#define EKSLEEP(milliseconds) EKSLEEP_InTeRnAl((milliseconds), __FILE__, __LINE__)
