// nvl-passwd: sets the console administrator's password. Reads the password from standard
// input (one line) and stores its salted hash in nvlscan.ini of the server home named by the
// registry ([INI_CONSOLE_SECTION] Admin_Password_Hash). The password is taken as UTF-8, the
// form in which the log-on page receives it; a line end (LF or CR LF) is not part of it.
#include <cstdio>
#include <iostream>
#include <string>

#include "page.h"

int main() {
    std::string password;
    if (std::getline(std::cin, password) && !password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.empty()) {
        std::fprintf(stderr, "nvl-passwd: give the new password on standard input\n");
        return 2;
    }
    if (!console::isUtf8(password) || password.find('\0') != std::string::npos) {
        std::fprintf(stderr, "nvl-passwd: the password must be UTF-8 text\n");
        return 2;
    }
    std::string hash = console::hashPassword(password.c_str());
    if (hash.empty()) {
        std::fprintf(stderr, "nvl-passwd: cannot hash the password\n");
        return 1;
    }
    char section[] = "INI_CONSOLE_SECTION";
    char key[] = "Admin_Password_Hash";
    if (writeINIString(section, key, hash.data(), nullptr) == 0) {
        std::fprintf(stderr, "nvl-passwd: cannot write nvlscan.ini in the server home\n");
        return 1;
    }
    return 0;
}
