#include "cgi/placeholders.h"

namespace nvl::cgi {

void expandPlaceholders(std::string_view text, std::span<const std::string_view> names,
                        const std::function<void(std::string_view)>& writeText,
                        const std::function<void(size_t)>& writeValue) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t percent = text.find('%', pos);
        if (percent == std::string_view::npos) {
            writeText(text.substr(pos));
            return;
        }
        if (percent > pos)
            writeText(text.substr(pos, percent - pos));

        std::string_view rest = text.substr(percent + 1);
        size_t match = 0;
        while (match < names.size()) {
            std::string_view name = names[match];
            if (rest.size() > name.size() && rest.starts_with(name) && rest[name.size()] == '%')
                break;
            ++match;
        }
        if (match < names.size()) {
            writeValue(match);
            pos = percent + 1 + names[match].size() + 1;
        } else {
            writeText(text.substr(percent, 1));
            pos = percent + 1;
        }
    }
}

}  // namespace nvl::cgi
