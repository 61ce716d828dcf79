#include "host/Net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

int EKNET_str2ip(const char* text, EKNET_ADDRESS& address) {
    if (text == nullptr)
        return EINVAL;
    EKNET_ADDRESS parsed;
    sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&parsed.m_oStorage);
    sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&parsed.m_oStorage);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        parsed.m_nLength = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        parsed.m_nLength = sizeof(sockaddr_in6);
    } else {
        return EINVAL;
    }
    address = parsed;
    return 0;
}

int EKNET_name2ip(const char* name, EKNET_HOSTENT*& result, int /*flags*/) {
    result = nullptr;
    if (name == nullptr || *name == '\0')
        return EAI_NONAME;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(name, nullptr, &hints, &list);
    if (rc != 0)
        return rc;
    EKNET_HOSTENT* hostent = new (std::nothrow) EKNET_HOSTENT;
    if (hostent == nullptr) {
        freeaddrinfo(list);
        return ENOMEM;
    }
    try {
        for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
            if (ai->ai_addr == nullptr || ai->ai_addrlen > sizeof(sockaddr_storage))
                continue;
            if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
                continue;
            EKNET_ADDRESS address;
            std::memcpy(&address.m_oStorage, ai->ai_addr, ai->ai_addrlen);
            address.m_nLength = ai->ai_addrlen;
            hostent->m_vAddresses.push_back(address);
        }
    } catch (...) {
        freeaddrinfo(list);
        delete hostent;
        return ENOMEM;
    }
    freeaddrinfo(list);
    if (hostent->m_vAddresses.empty()) {
        delete hostent;
        return EAI_NONAME;
    }
    result = hostent;
    return 0;
}

void EKNET_freehostent(EKNET_HOSTENT* result) {
    delete result;
}

int EKNET_socket(int family, EKSOCKET& socket) {
    socket = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        socket = EKNET_INVALID_SOCKET;
        return errno != 0 ? errno : EINVAL;
    }
    return 0;
}

int EKNET_bind(EKSOCKET socket, const EKNET_ADDRESS& address) {
    if (address.m_nLength == 0)
        return EINVAL;
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address.m_oStorage), address.m_nLength) !=
        0)
        return errno != 0 ? errno : EINVAL;
    return 0;
}

int EKNET_connect(EKSOCKET socket, const EKNET_ADDRESS& address) {
    if (address.m_nLength == 0)
        return EINVAL;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address.m_oStorage),
                  address.m_nLength) != 0)
        return errno != 0 ? errno : EINVAL;
    return 0;
}

int EKNET_getsockname(EKSOCKET socket, EKNET_ADDRESS& address) {
    EKNET_ADDRESS bound;
    bound.m_nLength = sizeof(bound.m_oStorage);
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&bound.m_oStorage), &bound.m_nLength) !=
        0)
        return errno != 0 ? errno : EINVAL;
    address = bound;
    return 0;
}

int EKNET_close(EKSOCKET socket) {
    if (socket < 0)
        return EBADF;
    // After close() fails with EINTR the descriptor is gone on Linux: never retry.
    return ::close(socket) == 0 || errno == EINTR ? 0 : errno;
}

uint16_t EKNET_GetPort(const EKNET_ADDRESS& address) {
    switch (address.Family()) {
        case AF_INET:
            return reinterpret_cast<const sockaddr_in*>(&address.m_oStorage)->sin_port;
        case AF_INET6:
            return reinterpret_cast<const sockaddr_in6*>(&address.m_oStorage)->sin6_port;
        default:
            return 0;
    }
}

void EKNET_SetPort(EKNET_ADDRESS& address, uint16_t networkOrderPort) {
    switch (address.Family()) {
        case AF_INET:
            reinterpret_cast<sockaddr_in*>(&address.m_oStorage)->sin_port = networkOrderPort;
            break;
        case AF_INET6:
            reinterpret_cast<sockaddr_in6*>(&address.m_oStorage)->sin6_port = networkOrderPort;
            break;
        default:
            break;
    }
}

void EKSLEEP_InTeRnAl(unsigned long milliseconds, const char* /*file*/, int /*line*/) {
    timespec remaining;
    remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
