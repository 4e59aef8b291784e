#include "support/web_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/file.h"

namespace nvl::test {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

bool accepts(int port) {
    sys::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(port);
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

std::string runAndCapture(const std::vector<std::string>& argv, int* status) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return "";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return out;
}

int freeLoopbackPort() {
    sys::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    return ntohs(address.sin_port);
}

Lighttpd::Lighttpd(const std::string& configPath, int port) : port_(port) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a test that died
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::execl(kLighttpdPath, kLighttpdPath, "-D", "-f", configPath.c_str(), nullptr);
        ::_exit(127);
    }
    if (pid < 0)
        return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(port)) {
            pid_ = pid;
            return;
        }
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

Lighttpd::~Lighttpd() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

HttpResponse httpRequest(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"curl", "-sS", "-i", "--max-time", "60", "-H", "Expect:"};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = 0;
    std::string out = runAndCapture(argv, &status);
    HttpResponse response;
    size_t end = out.find("\r\n\r\n");
    if (status != 0 || out.rfind("HTTP/", 0) != 0 || end == std::string::npos)
        return response;
    size_t space = out.find(' ');
    response.status = std::atoi(out.c_str() + space + 1);
    response.headers = out.substr(0, end + 2);
    response.body = out.substr(end + 4);
    return response;
}

}  // namespace nvl::test
