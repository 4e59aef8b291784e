#include "page.h"

#include <crypt.h>

#include <cstring>
#include <string_view>

namespace console {

namespace {

// Equal-length comparison without a data-dependent early exit.
bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

std::string iniValue(const char* key, const char* fallback) {
    char section[] = "INI_CONSOLE_SECTION";
    char value[512] = {};
    getINIString(value, section, const_cast<char*>(key), const_cast<char*>(fallback), sizeof value,
                 nullptr);
    return value;
}

}  // namespace

CharEncoding pageEncoding() {
    const char* name = getResourceString(kCharset);
    if (name == nullptr || *name == '\0')
        return UTF_8;
    OutputStreamConverter probe(UTF_8, nullptr);
    return probe.getCharEncoding(name);
}

void writeContentType(OutputStreamConverter& out) {
    out << "Content-Type: text/html; charset="
        << OutputStreamConverter::getCharEncodingName(out.getCharEncoding()) << "\r\n";
    out << "Cache-Control: no-store\r\n";
}

std::string htmlEscape(const char* raw) {
    std::string escaped;
    for (; raw != nullptr && *raw != '\0'; ++raw) {
        switch (*raw) {
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '&':
                escaped += "&amp;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += *raw;
        }
    }
    return escaped;
}

std::string text(int id) {
    return htmlEscape(getResourceString(id));
}

const char* formValue(char** vars, const char* name) {
    for (char** p = vars; p != nullptr && p[0] != nullptr; p += 2) {
        if (std::strcmp(p[0], name) == 0)
            return p[1];
    }
    return "";
}

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
