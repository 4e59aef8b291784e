// The connection test's and the hot-fix page's readers of request and response bytes on any
// input: the body's preview and an echoed value are ASCII markup whose only tags are the byte
// markers, the preview never grows past a bounded factor of what it shows, the form's checks
// take any field, and an uploaded name is either refused or one kind's source spelled as the
// kind spells it, differing from the name in case only.
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "connection_test.h"
#include "hotfix_kinds.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

// ASCII, no control but line feed and tab; with the byte markers taken out, no '<', '>' or '"'
// is left (they are all escaped), and only the preview has markers at all.
void checkMarkup(const std::string& html, bool preview) {
    constexpr std::string_view kOpen = "<span class=\"byte\">", kClose = "</span>";
    std::string text;
    for (size_t i = 0; i < html.size();) {
        std::string_view rest = std::string_view(html).substr(i);
        if (preview && rest.starts_with(kOpen)) {
            i += kOpen.size();
        } else if (preview && rest.starts_with(kClose)) {
            i += kClose.size();
        } else {
            text += html[i++];
        }
    }
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        check(byte < 0x80);
        check(byte >= 0x20 || (preview && (byte == '\n' || byte == '\t')));
        check(c != '<' && c != '>' && c != '"');
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t limit = size > 0 ? data[0] : 0;
    bool cut = false;
    std::string preview = console::previewHtml(input, limit, &cut);
    check(cut == (size > limit));
    check(preview.size() <= 32 * std::min(size, limit));
    checkMarkup(preview, true);
    checkMarkup(console::asciiHtml(input), false);

    // The form's fields, each a piece of the input between NUL bytes.
    static const char* const kNames[] = {"host",       "port",          "path",
                                         "proxy",      "proxy-host",    "proxy-port",
                                         "proxy-user", "proxy-password"};
    std::map<std::string, std::string> fields;
    std::string_view rest = input;
    for (const char* name : kNames) {
        size_t end = std::min(rest.find('\0'), rest.size());
        fields[name] = std::string(rest.substr(0, end));
        rest = rest.substr(std::min(end + 1, rest.size()));
    }
    console::ConnectionRequest request;
    int fault = console::readConnectionForm([&](const char* name) { return fields[name].c_str(); },
                                            &request);
    if (fault == 0) {
        check(console::isHostText(request.host) && request.port >= 1 && request.port <= 65535);
        check(!request.path.empty() && request.path.front() == '/');
    }

    std::string name(input.substr(0, input.find('\0')));
    std::string placed;
    if (const console::HotfixKind* kind = console::kindOfName(name, &placed)) {
        check(placed.size() == name.size() && ::strcasecmp(placed.c_str(), name.c_str()) == 0);
        std::string again;
        check(console::kindOfName(placed, &again) == kind && again == placed);
        check(name.find('/') == std::string::npos);
    }
    return 0;
}
