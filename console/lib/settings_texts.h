// Resource string numbers of the settings page and of the log-on limits (2200-2299 in
// standins/cgires/catalog/). A text may hold "%1" and "%2", which the page replaces by numbers
// (fillNumbers), so a limit is written in one place, the code that enforces it.
#pragma once

#include <string>
#include <utility>

namespace console {

enum SettingsText : int {
    kLogOnsDelayed = 2200,
    kSettingsTitle = 2210,
    kSessionHeading = 2211,
    kExpireLabel = 2212,
    kSaveButton = 2213,
    kExpireSaved = 2214,
    kExpireInvalid = 2215,
    kSettingsNotWritten = 2216,
    kPasswordHeading = 2220,
    kOldPasswordLabel = 2221,
    kNewPasswordLabel = 2222,
    kNewPasswordAgainLabel = 2223,
    kChangePasswordButton = 2224,
    kPasswordChanged = 2225,
    kOldPasswordWrong = 2226,
    kPasswordsDiffer = 2227,
    kPasswordRule = 2228,
    kPasswordHint = 2229,
    kNothingToChange = 2230,
};

// `text` with "%1" replaced by `first` and "%2" by `second`.
inline std::string fillNumbers(std::string text, long first, long second = 0) {
    for (auto [mark, value] : {std::pair<const char*, long>{"%1", first}, {"%2", second}}) {
        for (size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, 2, std::to_string(value));
    }
    return text;
}

}  // namespace console
