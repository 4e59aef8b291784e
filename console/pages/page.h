// What the console's pages share: the page encoding, the HTTP header, form values, the
// administrator's password check.
#pragma once

#include <cgishare/cgishare.h>

#include <string>
#include <string_view>

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
    kBadCharacters = 4007,
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

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF).
bool isUtf8(std::string_view text);

// A page's form, read once. The console's forms are sent in UTF-8 (accept-charset) and their
// values are kept as the browser sent them, so a password means the same bytes here as in
// nvl-passwd. The reader writes nothing itself: a request it cannot read, an upload the page
// does not take, or a value that is not UTF-8 leaves the form empty with error() naming the
// message to show in the page's own form.
class Form {
  public:
    explicit Form(bool takesUploads = false);
    ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    // 0, or the number of the resource string that says what was wrong.
    int error() const { return error_; }
    const char* value(const char* name) const { return formValue(vars_, name); }

  private:
    char** vars_ = nullptr;
    int error_ = 0;
};

// True when `user` and `password` are the administrator's, as kept in nvlscan.ini
// ([INI_CONSOLE_SECTION] Admin_User and Admin_Password_Hash, a salted crypt(3) hash).
bool checkAdministrator(const char* user, const char* password);

// A new salted hash of `password` for Admin_Password_Hash; "" on failure.
std::string hashPassword(const char* password);

}  // namespace console
