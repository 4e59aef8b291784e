// What the console's pages share: the page encoding and language, resource texts, form values,
// the administrator's password check.
#pragma once

#include <cgishare/cgishare.h>

#include <string>
#include <string_view>

namespace console {

// Resource string numbers of the console's own texts (see standins/cgires/catalog/).
enum Text : int {
    kLanguageNumber = 101,
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
    kForbiddenTitle = 2040,
    kForbidden = 2041,
    kSignedInAs = 2042,
    kMainMenu = 2043,
    kSkipToContent = 2044,
    kMenuHome = 2050,
    kMasterService = 2051,
    kRunning = 2052,
    kStopped = 2053,
    kLogServer = 2054,
    kReachable = 2055,
    kNotReachable = 2056,
    kHomeDirectory = 2057,
    kThisLogOn = 2058,
    kPreviousLogOn = 2059,
    kLatestAudit = 2060,
    kLatestEvents = 2061,
    kNoEntries = 2062,
    kColumnTime = 2063,
    kColumnEvent = 2064,
    kColumnDescription = 2065,
    kColumnResult = 2066,
    kColumnDetail = 2067,
    kSuccess = 2068,
    kFail = 2069,
    kPagesHeading = 2070,
    kNotKnown = 2071,
    kStatusHeading = 2072,
    kBadCharacters = 4007,
};

// The language of the resource library as a BCP 47 tag for the pages' lang attribute ("en",
// "ja", ...), from its language number; "en" when it names none the console knows.
const char* languageTag();

// The page's encoding: the charset the resource library names, UTF-8 when it names none.
CharEncoding pageEncoding();

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
