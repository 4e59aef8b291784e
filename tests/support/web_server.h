// A real web server for tests: lighttpd on a free loopback port, and curl to talk to it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nvl::test {

constexpr char kLighttpdPath[] = "/usr/sbin/lighttpd";

// Runs `argv` (searched on PATH) and returns what it wrote to standard output; `*status` gets
// its exit code (-1 when it did not exit normally).
std::string runAndCapture(const std::vector<std::string>& argv, int* status);

// A loopback TCP port nobody listens on right now.
int freeLoopbackPort();

// lighttpd in the foreground with the configuration `configPath`, which makes it listen on
// 127.0.0.1:`port`. running() once it accepts connections; false when it exited first (the
// port was taken, the configuration is wrong) or did not accept within 20 s.
class Lighttpd {
  public:
    Lighttpd(const std::string& configPath, int port);
    ~Lighttpd();
    Lighttpd(const Lighttpd&) = delete;
    Lighttpd& operator=(const Lighttpd&) = delete;

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_;
};

struct HttpResponse {
    int status = 0;       // 0 when curl failed
    std::string headers;  // the header lines, CR LF each
    std::string body;
};

// One request with curl: `args` are curl's own (the URL among them). Redirects are not
// followed and "Expect: 100-continue" is not sent, so the response is the server's only one.
HttpResponse httpRequest(const std::vector<std::string>& args);

}  // namespace nvl::test
