// What the Spyware page reads and shows from bytes it does not control: nvl-spyscan's report is
// accepted whole or refused, and an accepted one means what it says (written again from its
// fields, it reads back the same); names of any bytes, as bytes or as UTF-16, become markup and
// JSON of printable ASCII that no byte can leave; file names survive the trip through UTF-16.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "spyware_view.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

bool printableAscii(std::string_view text) {
    for (char c : text) {
        if ((c < 0x20 && c != '\t') || static_cast<unsigned char>(c) >= 0x7F)
            return false;
    }
    return true;
}

// Markup that holds no tag but the byte markers, and no quote.
void checkMarkup(const std::string& html) {
    check(printableAscii(html));
    std::string rest = html;
    for (std::string_view tag :
         {std::string_view("<span class=\"byte\">"), std::string_view("</span>")}) {
        for (size_t at; (at = rest.find(tag)) != std::string::npos;)
            rest.erase(at, tag.size());
    }
    check(rest.find_first_of("<>\"'") == std::string::npos);
}

const char* stateName(console::SpywareFinding::State state) {
    using State = console::SpywareFinding::State;
    return state == State::Found      ? "found"
           : state == State::BackedUp ? "backed-up"
           : state == State::Cleaned  ? "cleaned"
                                      : "failed";
}

std::string written(const console::SpywareReport& r) {
    using Status = console::SpywareReport::Status;
    std::string text = "nvl-spyscan-report 1\nstatus ";
    text += r.status == Status::Done ? "done" : r.status == Status::Stopped ? "stopped" : "failed";
    text += std::string("\ntype ") + (r.quick ? "quick" : "full") + "\nclean " +
            (r.clean ? "1" : "0") + "\nfound " + std::to_string(r.found) + "\ncleaned " +
            std::to_string(r.cleaned) + "\nbackup " + r.backup + "\nstarted " +
            std::to_string(r.started) + "\nfinished " + std::to_string(r.finished) + "\n";
    for (const console::SpywareFinding& f : r.findings)
        text += "item\t" + std::to_string(f.scanner) + "\t" + stateName(f.state) + "\t" + f.threat +
                "\t" + f.location + "\n";
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The bytes sit at the end of their own allocation, so a read past them shows.
    std::string owned(reinterpret_cast<const char*>(data), size);
    std::string_view bytes = owned;

    console::SpywareReport report;
    if (console::parseSpywareReport(bytes, &report)) {
        for (const console::SpywareFinding& f : report.findings) {
            check(f.scanner != 0 && !f.threat.empty() && !f.location.empty());
            check(f.threat.find_first_of(std::string("\t\n\0", 3)) == std::string::npos);
            check(f.location.find_first_of(std::string("\n\0", 2)) == std::string::npos);
            checkMarkup(console::htmlFromBytes(f.location));
        }
        console::SpywareReport again;
        check(console::parseSpywareReport(written(report), &again));
        check(written(again) == written(report));
    }

    checkMarkup(console::htmlFromBytes(bytes));
    if (bytes.find('\0') == std::string_view::npos) {
        std::u16string wide = console::utf16FromBytes(bytes);
        check(console::bytesFromUtf16(wide) == bytes);
        check(console::htmlFromUtf16(wide) == console::htmlFromBytes(bytes));
    }

    // The same bytes as UTF-16 units, as the facade might give them.
    std::u16string units;
    for (size_t i = 0; i + 1 < size; i += 2)
        units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    checkMarkup(console::htmlFromUtf16(units));
    std::string json = console::jsonFromUtf16(units);
    check(printableAscii(json) && json.find('\t') == std::string::npos);
    check(json.size() >= 2 && json.front() == '"' && json.back() == '"');
    for (size_t i = 1; i + 1 < json.size(); ++i) {
        check(json[i] != '"' && json[i] != '<' && json[i] != '>');
        if (json[i] == '\\') {
            ++i;
            check(i + 1 < json.size() &&
                  std::string_view("\"\\tu").find(json[i]) != std::string_view::npos);
        }
    }

    if (console::isBackupSetName(bytes))
        check(bytes.find('/') == std::string_view::npos && bytes.front() != '.' &&
              bytes.substr(bytes.size() - 4) == ".tbk");
    return 0;
}
