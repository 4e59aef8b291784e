// The settings page: the idle period after which a session ends ([INI_SERVER_SECTION]
// Cookie_Expire_Period, in minutes) and the administrator's password.
//
// Each setting has a form of its own, posted with the session's form token (the frame refuses
// anything else). A value is checked whole before anything is written: a period that is not a
// whole number of minutes in range, new passwords that differ or break the length rule, or a
// wrong current password change nothing and say why in the console's language. A password
// change needs the current password, checked after the same wait as a log-on of the
// administrator's name (throttle.h) and counted like one when it is wrong, so a session left
// open is no faster way to guess the password than the log-on page. Changes, and wrong
// current passwords, go to the audit log.
#include <string>
#include <string_view>

#include "audit.h"
#include "frame.h"
#include "query.h"
#include "settings_texts.h"
#include "throttle.h"

namespace {

using console::text;

constexpr long kShortestPeriod = 1;     // minutes
constexpr long kLongestPeriod = 1440;   // a day
constexpr long kDefaultPeriod = 30;     // as the session code reads an absent value
constexpr long kShortestPassword = 8;   // characters
constexpr long kLongestPassword = 256;  // bytes of UTF-8

struct Outcome {
    int message = 0;  // resource number, 0 for none
    bool ok = false;
};

long currentPeriod() {
    char section[] = "INI_SERVER_SECTION";
    char key[] = "Cookie_Expire_Period";
    return getINIint(section, key, static_cast<int>(kDefaultPeriod), nullptr);
}

bool writeIni(const char* sectionName, const char* keyName, const std::string& value) {
    std::string section = sectionName, key = keyName, copy = value;
    return writeINIString(section.data(), key.data(), copy.data(), nullptr) != 0;
}

// The form's password is UTF-8 (the form reader saw to that): characters are counted as the
// bytes that do not continue one.
bool passwordAllowed(std::string_view password) {
    long characters = 0;
    for (char c : password) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return false;
        if ((byte & 0xC0) != 0x80)
            ++characters;
    }
    return characters >= kShortestPassword &&
           password.size() <= static_cast<size_t>(kLongestPassword);
}

Outcome changePeriod(const console::Form& form) {
    long minutes = 0;
    if (!console::parseInteger(form.value("expire"), kShortestPeriod, kLongestPeriod, &minutes))
        return {console::kExpireInvalid, false};
    bool written = writeIni("INI_SERVER_SECTION", "Cookie_Expire_Period", std::to_string(minutes));
    console::writeAudit(console::kAuditSettingsChanged, console::administrator().c_str(), written);
    return written ? Outcome{console::kExpireSaved, true}
                   : Outcome{console::kSettingsNotWritten, false};
}

Outcome changePassword(const console::Form& form) {
    std::string_view first = form.value("new1");
    if (first != form.value("new2"))
        return {console::kPasswordsDiffer, false};
    if (!passwordAllowed(first))
        return {console::kPasswordRule, false};
    std::string user = console::administrator();
    console::waitLogonDelay(user);
    if (!console::checkAdministrator(user.c_str(), form.value("old"))) {
        console::recordLogonFailure(user);
        console::writeAudit(console::kAuditPasswordChanged, user.c_str(), false);
        return {console::kOldPasswordWrong, false};
    }
    console::clearLogonFailures(user);
    std::string hash = console::hashPassword(std::string(first).c_str());
    bool written = !hash.empty() && writeIni("INI_CONSOLE_SECTION", "Admin_Password_Hash", hash);
    console::writeAudit(console::kAuditPasswordChanged, user.c_str(), written);
    return written ? Outcome{console::kPasswordChanged, true}
                   : Outcome{console::kSettingsNotWritten, false};
}

// A result message, with the limits it names.
std::string messageText(int id) {
    if (id == console::kPasswordRule)
        return console::fillNumbers(text(id), kShortestPassword, kLongestPassword);
    return console::fillNumbers(text(id), kShortestPeriod, kLongestPeriod);
}

}  // namespace

int main() {
    console::Page page(console::kSettingsTitle);
    if (!page.admitted())
        return page.finish();
    OutputStreamConverter& out = page.body();

    Outcome outcome;
    if (page.isPost()) {
        std::string_view change = page.form().value("change");
        outcome = change == "expire"     ? changePeriod(page.form())
                  : change == "password" ? changePassword(page.form())
                                         : Outcome{console::kNothingToChange, false};
    }
    if (outcome.message != 0) {
        out << "<p id=\"message\" class=\"notice " << (outcome.ok ? "ok" : "error") << "\" role=\""
            << (outcome.ok ? "status" : "alert") << "\">" << messageText(outcome.message).c_str()
            << "</p>\n";
    }

    std::string token = page.tokenField();
    std::string range =
        std::to_string(kShortestPeriod) + "\" max=\"" + std::to_string(kLongestPeriod);
    out << "<form method=\"POST\" action=\"settings.cgi\" id=\"expire-form\" "
           "accept-charset=\"UTF-8\">\n"
        << token.c_str() << "<input type=\"hidden\" name=\"change\" value=\"expire\">\n"
        << "<fieldset>\n<legend>" << text(console::kSessionHeading).c_str() << "</legend>\n"
        << "<p><label for=\"expire\">"
        << console::fillNumbers(text(console::kExpireLabel), kShortestPeriod, kLongestPeriod)
               .c_str()
        << "</label> <input type=\"number\" id=\"expire\" name=\"expire\" min=\"" << range.c_str()
        << "\" step=\"1\" required value=\"" << std::to_string(currentPeriod()).c_str()
        << "\"></p>\n<p><button type=\"submit\">" << text(console::kSaveButton).c_str()
        << "</button></p>\n</fieldset>\n</form>\n";

    std::string rule = console::fillNumbers(text(console::kPasswordHint), kShortestPassword);
    std::string minimum = std::to_string(kShortestPassword);
    out << "<form method=\"POST\" action=\"settings.cgi\" id=\"password-form\" "
           "accept-charset=\"UTF-8\">\n"
        << token.c_str() << "<input type=\"hidden\" name=\"change\" value=\"password\">\n"
        << "<fieldset>\n<legend>" << text(console::kPasswordHeading).c_str() << "</legend>\n"
        << "<p><label for=\"old\">" << text(console::kOldPasswordLabel).c_str()
        << "</label> <input type=\"password\" id=\"old\" name=\"old\" required "
           "autocomplete=\"current-password\"></p>\n"
        << "<p><label for=\"new1\">" << text(console::kNewPasswordLabel).c_str()
        << "</label> <input type=\"password\" id=\"new1\" name=\"new1\" required minlength=\""
        << minimum.c_str() << "\" autocomplete=\"new-password\" aria-describedby=\"rule\"> "
        << "<span id=\"rule\">" << rule.c_str() << "</span></p>\n"
        << "<p><label for=\"new2\">" << text(console::kNewPasswordAgainLabel).c_str()
        << "</label> <input type=\"password\" id=\"new2\" name=\"new2\" required minlength=\""
        << minimum.c_str() << "\" autocomplete=\"new-password\"></p>\n"
        << "<p><button type=\"submit\">" << text(console::kChangePasswordButton).c_str()
        << "</button></p>\n</fieldset>\n</form>\n";
    return page.finish();
}
