// Date and time pictures and the locale values behind them, on arbitrary input.
//
// Input: byte 0 picks the mode. Pictures (even byte 0): byte 1 the locale, byte 2 the flags,
// byte 3 the output size, bytes 4-13 the moment (any values, out of range ones too), the rest
// the picture, as bytes of the locale's code page for the A calls and as UTF-16 units for the W
// calls; both date and time are formatted, with and without picture. Registry (odd byte 0):
// the rest are the values of the system and user locales and the four user overrides
// (separated by 0xFF, each REG_SZ or REG_DWORD by its first byte), written into the registry
// file, after which every kind of call runs on the user locale.
// Checks: no call writes past the size it was given, a size query and the call with that size
// agree, a success ends its text with a NUL at the count it returns.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/locale.h"
#include "platform/registry.h"

namespace {

using namespace nvl::sys;

constexpr Lcid kLocales[] = {
    kLocaleEnUs,          0x0411, 0x0404, 0x0804, 0x0412, 0x0407, 0x040C, 0x0809, 0x007F, 0x0419,
    kLocaleSystemDefault, 0x0400, 0x1000, 0x0FFF, 0x10407};
constexpr size_t kGuard = 16;

std::string g_registry;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// Runs one call with `size` into a buffer with a guard zone after it; checks it and the size
// query against each other.
template <typename Char, typename Call>
void run(int size, Call call) {
    std::vector<Char> buffer(static_cast<size_t>(size) + kGuard, Char(0x5A));
    int needed = call(static_cast<Char*>(nullptr), 0);
    int n = call(size == 0 ? nullptr : buffer.data(), size);
    for (size_t i = static_cast<size_t>(size); i < buffer.size(); ++i)
        check(buffer[i] == Char(0x5A));
    if (size == 0) {
        check(n == needed);
        return;
    }
    check(n >= 0 && n <= size);
    if (n > 0) {
        check(n == needed);
        check(buffer[static_cast<size_t>(n) - 1] == Char(0));
    } else {
        check(needed == 0 || needed > size);
    }
}

void formatAll(Lcid lcid, uint32_t flags, const SystemTime& st, const std::string& pictureA,
               const std::u16string& pictureW, int size) {
    const SystemTime* when = &st;
    run<char>(size, [&](char* out, int n) {
        return getDateFormatA(lcid, flags, when, pictureA.c_str(), out, n);
    });
    run<char>(size, [&](char* out, int n) {
        return getTimeFormatA(lcid, flags, when, pictureA.c_str(), out, n);
    });
    run<char16_t>(size, [&](char16_t* out, int n) {
        return getDateFormatW(lcid, flags, when, pictureW.c_str(), out, n);
    });
    run<char16_t>(size, [&](char16_t* out, int n) {
        return getTimeFormatW(lcid, flags, when, pictureW.c_str(), out, n);
    });
    run<char>(size,
              [&](char* out, int n) { return getDateFormatA(lcid, flags, when, nullptr, out, n); });
    run<char16_t>(size, [&](char16_t* out, int n) {
        return getTimeFormatW(lcid, flags, when, nullptr, out, n);
    });
}

void localeValues(Lcid lcid, int size) {
    const uint32_t types[] = {kLocaleICalendarType, kLocaleSShortDate, kLocaleSDate,
                              kLocaleSTimeFormat,   kLocaleSLongDate,  kLocaleSYearMonth,
                              kLocaleS1159,         kLocaleSName,      kLocaleSMonthName1 + 4};
    for (uint32_t type : types) {
        for (uint32_t modifier : {0u, kLocaleNoUserOverride, kLocaleUseCpAcp}) {
            run<char>(size, [&](char* out, int n) {
                return getLocaleInfoA(lcid, type | modifier, out, n);
            });
            run<char16_t>(size, [&](char16_t* out, int n) {
                return getLocaleInfoW(lcid, type | modifier, out, n);
            });
        }
    }
}

// One registry value line from fuzz bytes: REG_DWORD or a quoted string with the bytes as they
// are (quotes and backslashes escaped, line breaks left out).
std::string valueLine(const char* name, const std::string& bytes) {
    std::string line = std::string("\"") + name + "\"=";
    if (!bytes.empty() && (bytes[0] & 1) != 0) {
        char dword[16];
        uint32_t v = 0;
        std::memcpy(&v, bytes.data() + 1, bytes.size() - 1 < 4 ? bytes.size() - 1 : 4);
        std::snprintf(dword, sizeof dword, "dword:%08x", v);
        return line + dword + "\r\n";
    }
    line += '"';
    for (size_t i = bytes.empty() ? 0 : 1; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\r' || c == '\n')
            continue;
        if (c == '"' || c == '\\')
            line += '\\';
        line += c;
    }
    return line + "\"\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/locale-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 0;
    g_registry = std::string(dir) + "/registry.reg";
    setenv("NVL_REGISTRY", g_registry.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096)
        return 0;
    if ((data[0] & 1) == 0) {
        if (size < 14)
            return 0;
        Lcid lcid = kLocales[data[1] % (sizeof kLocales / sizeof kLocales[0])];
        // Mostly the flags the calls know, sometimes any.
        uint32_t flags = data[2] & 0x0F;
        if ((data[2] & 0x10) != 0)
            flags |= kLocaleUseCpAcp;
        if ((data[2] & 0x20) != 0)
            flags |= kLocaleNoUserOverride;
        if ((data[2] & 0xC0) == 0xC0)
            flags |= static_cast<uint32_t>(data[2]) << 8;
        int outSize = data[3];
        SystemTime st{};
        uint16_t* fields[] = {&st.year, &st.month, &st.day, &st.hour, &st.minute};
        for (size_t i = 0; i < 5; ++i)
            *fields[i] = static_cast<uint16_t>(data[4 + 2 * i] | data[5 + 2 * i] << 8);
        std::string pictureA(reinterpret_cast<const char*>(data) + 14, size - 14);
        pictureA = pictureA.substr(0, pictureA.find('\0'));
        std::u16string pictureW;
        for (size_t i = 14; i + 1 < size; i += 2) {
            char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
            if (c == 0)
                break;
            pictureW += c;
        }
        // The moment as given, and one in range with its time fields.
        formatAll(lcid, flags, st, pictureA, pictureW, outSize);
        SystemTime valid = st;
        valid.year = static_cast<uint16_t>(1601 + st.year % 600);
        valid.month = static_cast<uint16_t>(1 + st.month % 12);
        valid.day = static_cast<uint16_t>(1 + st.day % 28);
        valid.hour %= 24;
        valid.minute %= 60;
        formatAll(lcid, flags & ~kLocaleNoUserOverride, valid, pictureA, pictureW, outSize);
        return 0;
    }

    // Registry values: system locale, user locale, iCalendarType, sShortDate, sDate, sTimeFormat.
    std::vector<std::string> values(1);
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0xFF)
            values.emplace_back();
        else
            values.back() += static_cast<char>(data[i]);
    }
    values.resize(6);
    std::string reg =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\Locale]\r\n" +
        std::string("@") + valueLine("", values[0]).substr(2) +  // the default value: @=...
        "\r\n[HKEY_CURRENT_USER\\Control Panel\\International]\r\n" +
        valueLine("Locale", values[1]) + valueLine("iCalendarType", values[2]) +
        valueLine("sShortDate", values[3]) + valueLine("sDate", values[4]) +
        valueLine("sTimeFormat", values[5]);
    FILE* file = std::fopen(g_registry.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(reg.data(), 1, reg.size(), file);
    std::fclose(file);
    forgetRegistryCache();
    resetLocalesForTesting();

    SystemTime st{2019, 5, 3, 1, 21, 7, 8, 0};
    Lcid user = userDefaultLcid();
    check(resolveLcid(user) != 0);
    check(resolveLcid(systemDefaultLcid()) != 0);
    for (int outSize : {0, 3, 64}) {
        formatAll(kLocaleUserDefault, 0, st, "gg yyyy", u"gg yyyy", outSize);
        formatAll(kLocaleUserDefault, kTimeNoSeconds, st, "", u"", outSize);
        localeValues(kLocaleUserDefault, outSize);
    }
    return 0;
}
