// nvl-reg: reads and changes the registry file from scripts (the demo setup, tests).
//
//   nvl-reg get KEY [VALUE]              print one value, or the key and its subkeys in the
//                                        registry editor's export format
//   nvl-reg set KEY VALUE sz TEXT        set a text value (expand_sz TEXT: REG_EXPAND_SZ)
//   nvl-reg set KEY VALUE dword N        set a 32-bit number (decimal, or hex with 0x)
//   nvl-reg delete KEY [VALUE]           delete a value, or the key with its subkeys
//
// KEY is a full path such as HKLM\SOFTWARE\HaldenLabs\Norvel\service\Information (short or
// long hive names); an empty VALUE names the key's default value. "set" creates missing keys.
// The file is $NVL_REGISTRY, else /etc/norvel/registry.reg.
//
// Exit status: 0 done, 1 the registry refused (not found, bad data, I/O error), 2 usage.
// "get" prints a text value as it is, a number in decimal, a multi-string one string a line.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace {

using nvl::sys::RegHive;
using nvl::sys::RegistryKey;
using nvl::sys::RegValue;

int usage() {
    std::fputs(
        "usage: nvl-reg get KEY [VALUE]\n"
        "       nvl-reg set KEY VALUE sz|expand_sz TEXT\n"
        "       nvl-reg set KEY VALUE dword N\n"
        "       nvl-reg delete KEY [VALUE]\n",
        stderr);
    return 2;
}

int fail(const char* what, const std::string& key, uint32_t error) {
    std::fprintf(stderr, "nvl-reg: %s %s: error %u (%s)\n", what, key.c_str(),
                 static_cast<unsigned>(error), nvl::sys::registryPath().c_str());
    return 1;
}

uint64_t littleEndian(const std::string& data) {
    uint64_t number = 0;
    for (size_t i = data.size(); i-- > 0;)
        number = (number << 8) | static_cast<unsigned char>(data[i]);
    return number;
}

void printValue(const RegValue& value, const std::string& name) {
    switch (value.type) {
        case nvl::sys::kRegSz:
        case nvl::sys::kRegExpandSz:
            std::printf("%s\n", value.data.c_str());
            return;
        case nvl::sys::kRegDword:
        case nvl::sys::kRegQword:
            if (value.data.size() == (value.type == nvl::sys::kRegDword ? 4u : 8u)) {
                std::printf("%llu\n", static_cast<unsigned long long>(littleEndian(value.data)));
                return;
            }
            break;
        case nvl::sys::kRegMultiSz: {
            size_t pos = 0;
            while (pos < value.data.size()) {
                size_t end = value.data.find('\0', pos);
                if (end == std::string::npos)
                    end = value.data.size();
                std::printf("%s\n", value.data.substr(pos, end - pos).c_str());
                pos = end + 1;
            }
            return;
        }
        default:
            break;
    }
    std::printf("%s\n", nvl::sys::formatRegistryValue(name, value).c_str());
}

void exportKey(const RegistryKey& key, bool first) {
    std::printf("%s[%s%s%s]\n", first ? "" : "\n",
                std::string(nvl::sys::registryHiveName(key.hive())).c_str(),
                key.path().empty() ? "" : "\\", key.path().c_str());
    std::vector<std::string> names;
    if (key.valueNames(&names) == nvl::sys::kSuccess) {
        for (const std::string& name : names) {
            RegValue value;
            if (key.queryValue(name, &value) == nvl::sys::kSuccess)
                std::printf("%s\n", nvl::sys::formatRegistryValue(name, value).c_str());
        }
    }
    std::vector<std::string> children;
    if (key.subKeyNames(&children) != nvl::sys::kSuccess)
        return;
    for (const std::string& child : children) {
        RegistryKey sub;
        std::string path = key.path().empty() ? child : key.path() + "\\" + child;
        if (RegistryKey::open(key.hive(), path, &sub) == nvl::sys::kSuccess)
            exportKey(sub, false);
    }
}

bool parseNumber(const char* text, uint32_t* out) {
    errno = 0;
    char* end = nullptr;
    unsigned long long number = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || number > 0xFFFFFFFFull)
        return false;
    *out = static_cast<uint32_t>(number);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    std::string_view command = argv[1];
    std::string keyText = argv[2];
    RegHive hive;
    std::string subKey;
    if (!nvl::sys::splitRegistryPath(keyText, &hive, &subKey)) {
        std::fprintf(stderr, "nvl-reg: %s: the key must start with a hive (HKLM, HKCU, ...)\n",
                     keyText.c_str());
        return 2;
    }

    RegistryKey key;
    if (command == "get" && (argc == 3 || argc == 4)) {
        uint32_t error = RegistryKey::open(hive, subKey, &key);
        if (error != nvl::sys::kSuccess)
            return fail("cannot open", keyText, error);
        if (argc == 3) {
            exportKey(key, true);
            return 0;
        }
        RegValue value;
        error = key.queryValue(argv[3], &value);
        if (error != nvl::sys::kSuccess)
            return fail("cannot read", keyText + " " + argv[3], error);
        printValue(value, argv[3]);
        return 0;
    }
    if (command == "set" && argc == 6) {
        std::string_view type = argv[4];
        RegValue value;
        if (type == "sz" || type == "expand_sz") {
            value = {type == "sz" ? nvl::sys::kRegSz : nvl::sys::kRegExpandSz, argv[5]};
        } else if (type == "dword") {
            uint32_t number;
            if (!parseNumber(argv[5], &number)) {
                std::fprintf(stderr, "nvl-reg: %s: not a 32-bit number\n", argv[5]);
                return 2;
            }
            value = {nvl::sys::kRegDword, std::string(4, '\0')};
            for (size_t k = 0; k < 4; ++k)
                value.data[k] = static_cast<char>((number >> (8 * k)) & 0xFF);
        } else {
            return usage();
        }
        uint32_t error = RegistryKey::create(hive, subKey, &key);
        if (error == nvl::sys::kSuccess)
            error = key.setValue(argv[3], value);
        if (error != nvl::sys::kSuccess)
            return fail("cannot set", keyText + " " + argv[3], error);
        return 0;
    }
    if (command == "delete" && (argc == 3 || argc == 4)) {
        uint32_t error;
        if (argc == 3) {
            error = RegistryKey::deleteKey(hive, subKey);
        } else {
            error = RegistryKey::open(hive, subKey, &key);
            if (error == nvl::sys::kSuccess)
                error = key.deleteValue(argv[3]);
        }
        if (error != nvl::sys::kSuccess)
            return fail("cannot delete", keyText + (argc == 4 ? std::string(" ") + argv[3] : ""),
                        error);
        return 0;
    }
    return usage();
}
