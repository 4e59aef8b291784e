#include "platform/host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace nvl::sys {

namespace {
constexpr size_t kHostNameSize = 256;
}

bool hostName(std::string* name) {
    char buffer[kHostNameSize] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return false;
    *name = buffer;
    return true;
}

bool firstIPv4Address(const std::string& host, std::string* dotted) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
    if (found->ai_addr == nullptr || found->ai_addr->sa_family != AF_INET)
        return false;
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
        return false;
    *dotted = text;
    return true;
}

}  // namespace nvl::sys
