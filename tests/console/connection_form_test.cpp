// The connection test page's form and markup: what the form refuses before anything is sent,
// the outcome texts of every result httpAccess gives in both catalogs, and the body's preview,
// which no byte may break and which must stay ASCII in every page encoding.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "connection_test.h"
#include "connection_texts.h"
#include "support/test_env.h"

namespace {

using namespace std::string_literals;

TEST(ConnectionForm, PortsAndHostsAsTheLoaderTakesThem) {
    const struct {
        const char* text;
        int port;
    } kPorts[] = {{"80", 80}, {"1", 1},     {"65535", 65535}, {"00080", 80},
                  {"0", 0},   {"65536", 0}, {"99999", 0},     {"000080", 0},
                  {"", 0},    {"8o", 0},    {"+80", 0},       {" 80", 0},
                  {"80 ", 0}, {"-1", 0},    {"0x50", 0},      {"\xEF\xBC\x98", 0}};
    for (const auto& c : kPorts)
        EXPECT_EQ(console::parsePort(c.text), c.port) << c.text;

    for (const char* host :
         {"example.com", "127.0.0.1", "a-b.example.", "localhost", "[::1]", "[2001:db8::7]", "x"})
        EXPECT_TRUE(console::isHostText(host)) << host;
    std::string longLabel(64, 'a');
    for (std::string host :
         {""s, "-a.example"s, "a-.example"s, "a..example"s, ".example"s, "user@host"s, "host/path"s,
          "host:80"s, "ex ample"s, "[::1"s, "[]"s, "[1.2.3.4]"s, "\xE6\x97\xA5\xE6\x9C\xAC.jp"s,
          longLabel + ".com"s, std::string(254, 'a')})
        EXPECT_FALSE(console::isHostText(host)) << host;
}

TEST(ConnectionForm, TheFirstFaultIsNamedAndAGoodFormPasses) {
    using Fields = std::map<std::string, std::string>;
    const Fields good = {{"host", "127.0.0.1"}, {"port", "8080"}, {"path", "/x.htm"}};
    const Fields proxied = {{"host", "srv"},         {"port", "80"},
                            {"path", "/"},           {"proxy", "1"},
                            {"proxy-host", "px"},    {"proxy-port", "3128"},
                            {"proxy-user", "alice"}, {"proxy-password", "s3cret"}};
    auto with = [](Fields fields, const std::string& name, const std::string& value) {
        fields[name] = value;
        return fields;
    };
    const struct {
        const char* what;
        Fields fields;
        int fault;
    } kCases[] = {
        {"a good direct form", good, 0},
        {"a good proxied form", proxied, 0},
        {"no host", with(good, "host", ""), console::kHostMissing},
        {"a host with a path", with(good, "host", "a/b"), console::kBadHost},
        {"a word for a port", with(good, "port", "http"), console::kBadPort},
        {"no port", with(good, "port", ""), console::kBadPort},
        {"a relative path", with(good, "path", "x.htm"), console::kBadPath},
        {"a path with a blank", with(good, "path", "/a b"), console::kBadPath},
        {"a path with a line break", with(good, "path", "/a\r\nHost: x"), console::kBadPath},
        {"proxy fields without the proxy", with(good, "proxy-port", "x"), 0},
        {"no proxy host", with(proxied, "proxy-host", ""), console::kProxyHostMissing},
        {"a bad proxy host", with(proxied, "proxy-host", "p x"), console::kBadHost},
        {"a bad proxy port", with(proxied, "proxy-port", "0"), console::kBadProxyPort},
        {"a password the loader would cut", with(proxied, "proxy-password", std::string(128, 'p')),
         console::kCredentialTooLong},
        {"a user the loader would cut", with(proxied, "proxy-user", std::string(128, 'u')),
         console::kCredentialTooLong},
        {"the longest password", with(proxied, "proxy-password", std::string(127, 'p')), 0},
    };
    for (const auto& c : kCases) {
        console::ConnectionRequest request;
        int fault = console::readConnectionForm(
            [&](const char* name) {
                auto it = c.fields.find(name);
                return it != c.fields.end() ? it->second.c_str() : "";
            },
            &request);
        EXPECT_EQ(fault, c.fault) << c.what;
    }
    console::ConnectionRequest request;
    console::readConnectionForm(
        [&](const char* name) {
            auto it = proxied.find(name);
            return it != proxied.end() ? it->second.c_str() : "";
        },
        &request);
    EXPECT_TRUE(request.useProxy);
    EXPECT_EQ(request.proxyPort, 3128);
    EXPECT_EQ(request.password, "s3cret");
}

// The catalog text of `id` in `language`, "" when it has none.
std::string catalogText(const std::string& language, int id) {
    std::istringstream catalog(
        nvl::test::readFile(CGISHARE_SOURCE_DIR "/standins/cgires/catalog/" + language + ".txt"));
    std::string prefix = std::to_string(id) + "\t";
    for (std::string line; std::getline(catalog, line);) {
        if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size());
    }
    return "";
}

TEST(ConnectionForm, EveryResultHasItsOwnTextInBothLanguages) {
    const int kResults[] = {1, -2, -3, -4, -5, -6, -7, -8, -10, -11, -12, -20, -21, -22, -23};
    std::set<int> texts;
    for (int result : kResults) {
        int id = console::outcomeText(result);
        EXPECT_NE(id, console::kOutcomeUnknown) << result;
        texts.insert(id);
        for (const char* language : {"en", "ja"})
            EXPECT_NE(catalogText(language, id), "") << language << " " << result;
    }
    EXPECT_EQ(texts.size(), std::size(kResults)) << "two results share a text";
    EXPECT_EQ(console::outcomeText(-9), console::kOutcomeUnknown);
    EXPECT_EQ(console::outcomeText(200), console::kOutcomeUnknown);
    for (const char* language : {"en", "ja"})
        EXPECT_NE(catalogText(language, console::kOutcomeUnknown).find("%d"), std::string::npos);
}

bool isAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

TEST(ConnectionForm, ThePreviewShowsEveryByteAsAsciiMarkup) {
    const struct {
        const char* what;
        std::string body;
        std::string html;
    } kCases[] = {
        {"markup", "<b a=\"1\">&'</b>", "&lt;b a=&quot;1&quot;&gt;&amp;&#39;&lt;/b&gt;"},
        {"line ends and tabs", "a\r\nb\n\tc\rd", "a\nb\n\tc<span class=\"byte\">U+000D</span>d"},
        {"text beyond ASCII", "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80",
         "caf&#233; &#26085; &#128512;"},
        {"bytes that are not UTF-8", "\xFF\xC3(\xED\xA0\x80\xC0\xAF",
         "<span class=\"byte\">\\xFF</span><span class=\"byte\">\\xC3</span>(<span "
         "class=\"byte\">\\xED</span><span class=\"byte\">\\xA0</span><span "
         "class=\"byte\">\\x80</span><span class=\"byte\">\\xC0</span><span "
         "class=\"byte\">\\xAF</span>"},
        {"controls and a direction change", "a\x01\0b\xE2\x80\xAE"s,
         "a<span class=\"byte\">U+0001</span><span class=\"byte\">U+0000</span>b<span "
         "class=\"byte\">U+202E</span>"},
    };
    for (const auto& c : kCases) {
        bool cut = true;
        std::string html = console::previewHtml(c.body, 100, &cut);
        EXPECT_EQ(html, c.html) << c.what;
        EXPECT_FALSE(cut) << c.what;
        EXPECT_TRUE(isAscii(html)) << c.what;
    }
}

TEST(ConnectionForm, ThePreviewIsCutAtTheLimitOnACharacter) {
    bool cut = false;
    EXPECT_EQ(console::previewHtml("abcdef", 4, &cut), "abcd");
    EXPECT_TRUE(cut);
    EXPECT_EQ(console::previewHtml("abcd", 4, &cut), "abcd");
    EXPECT_FALSE(cut);
    // "日" is three bytes: cut after one or two of them, it is left out whole.
    for (size_t limit : {3u, 4u})
        EXPECT_EQ(console::previewHtml("ab\xE6\x97\xA5z", limit, &cut), "ab") << limit;
    EXPECT_EQ(console::previewHtml("ab\xE6\x97\xA5z", 5, &cut), "ab&#26085;");
    // Stray bytes at the limit are not a character: they are shown.
    EXPECT_EQ(console::previewHtml("ab\x80\x80z", 4, &cut),
              "ab<span class=\"byte\">\\x80</span><span class=\"byte\">\\x80</span>");
}

TEST(ConnectionForm, EchoedValuesAreAsciiInAnAttribute) {
    EXPECT_EQ(console::asciiHtml("a\"b'<c>&"), "a&quot;b&#39;&lt;c&gt;&amp;");
    EXPECT_EQ(console::asciiHtml("caf\xC3\xA9\n"), "caf&#233;&#10;");
    EXPECT_EQ(console::asciiHtml("\xFF"), "&#65533;");
}

}  // namespace
