// The administrator's password: checked and hashed with crypt(3). Only the pages that take a
// password link this file, and with it libcrypt.
#include <crypt.h>

#include <string>

#include "crypto.h"
#include "page.h"

namespace console {

namespace {

std::string iniValue(const char* key, const char* fallback) {
    char section[] = "INI_CONSOLE_SECTION";
    char value[512] = {};
    getINIString(value, section, const_cast<char*>(key), const_cast<char*>(fallback), sizeof value,
                 nullptr);
    return value;
}

}  // namespace

bool checkAdministrator(const char* user, const char* password) {
    std::string expectedUser = iniValue("Admin_User", "admin");
    std::string hash = iniValue("Admin_Password_Hash", "");
    if (hash.empty() || hash[0] != '$')
        return false;  // no password set: nobody gets in
    crypt_data data{};
    const char* computed = crypt_rn(password, hash.c_str(), &data, sizeof data);
    bool passwordOk = computed != nullptr && sameText(computed, hash);
    return sameText(user, expectedUser) && passwordOk;
}

std::string hashPassword(const char* password) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) == nullptr)
        return {};
    crypt_data data{};
    const char* hash = crypt_rn(password, salt, &data, sizeof data);
    return hash != nullptr && hash[0] == '$' ? hash : std::string();
}

}  // namespace console
