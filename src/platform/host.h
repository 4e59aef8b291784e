// The machine's own name and address, in place of the original's sockets host look-up.
//
// Names are resolved with getaddrinfo restricted to IPv4, so the answer follows the system's
// resolver configuration (/etc/hosts, then DNS, per nsswitch.conf), and "the first address"
// is the first one the resolver returns.
#pragma once

#include <string>

namespace nvl::sys {

// The host name (gethostname). False when it cannot be read.
bool hostName(std::string* name);

// The first IPv4 address of `host` in dotted form. False when the name does not resolve or
// has no IPv4 address.
bool firstIPv4Address(const std::string& host, std::string* dotted);

}  // namespace nvl::sys
