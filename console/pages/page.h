// What the console's pages share: the page encoding, the HTTP header, form values, the
// administrator's password check.
#pragma once

#include <cgishare/cgishare.h>

#include <string>

namespace console {

// Resource string numbers of the console's own texts (see standins/cgires/catalog/).
enum Text : int {
    kCharset = 110,
    kLoginTitle = 2001,
    kUserLabel = 2002,
    kPasswordLabel = 2003,
    kLoginButton = 2004,
    kLoginFailed = 2005,
    kHomeTitle = 2011,
    kWelcome = 2012,
    kHelpLink = 2013,
    kLogoutLink = 2014,
    kLoggedOut = 2021,
    kSessionTimedOut = 2031,
};

// The page's encoding: the charset the resource library names, UTF-8 when it names none.
CharEncoding pageEncoding();

// "Content-Type: text/html; charset=..." and the header lines every page sends.
void writeContentType(OutputStreamConverter& out);

// A resource string, HTML-escaped.
std::string text(int id);
std::string htmlEscape(const char* raw);

// The value of form variable `name`, or "" when the request lacks it.
const char* formValue(char** vars, const char* name);

// True when `user` and `password` are the administrator's, as kept in nvlscan.ini
// ([INI_CONSOLE_SECTION] Admin_User and Admin_Password_Hash, a salted crypt(3) hash).
bool checkAdministrator(const char* user, const char* password);

// A new salted hash of `password` for Admin_Password_Hash; "" on failure.
std::string hashPassword(const char* password);

}  // namespace console
