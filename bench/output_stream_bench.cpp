// Throughput of the response stream converter against glibc's iconv on the same page.
//
// The page is a Japanese console page of about 64 KiB in code page 932 (the server's ANSI
// code page): markup, attributes and script in ASCII, text in kanji and kana. Each converter
// run writes into a preallocated buffer, so the stream costs next to nothing; the baseline is
// one iconv() call over the whole page into a buffer, with the descriptor opened beforehand.
// Compare bytes_per_second of each BM_Converter_* with its BM_Iconv_* twin.

#include <benchmark/benchmark.h>
#include <cgishare/output_stream.h>
#include <iconv.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "platform/codepage.h"

namespace {

// A stream buffer over a fixed block of memory, rewound before each run.
class BufferStreambuf : public std::streambuf {
  public:
    explicit BufferStreambuf(size_t capacity) : block_(capacity, '\0') { rewind(); }
    void rewind() { setp(block_.data(), block_.data() + block_.size()); }
    size_t size() const { return static_cast<size_t>(pptr() - pbase()); }

  private:
    std::string block_;
};

std::string convertWithIconv(const char* to, const char* from, const std::string& text) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error("iconv_open");
    std::string out(text.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(text.data());
    size_t srcLeft = text.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1))
        throw std::runtime_error("iconv");
    out.resize(out.size() - dstLeft);
    return out;
}

// The page, written in UTF-8 here and converted to code page 932.
const std::string& page932() {
    static const std::string page = [] {
        const char* rows[] = {
            "ウイルスパターンファイルの更新が完了しました。",
            "サーバの設定を変更するには、管理者としてログインしてください。",
            "検索エンジンのバージョン情報を表示しています。",
            "クライアントの一覧から対象のコンピュータを選択してください。",
            "リアルタイム検索の状態：有効　最終更新日時：２００５年１０月３日",
            "隔離されたファイルは自動的に削除されます。詳細はヘルプを参照してください。",
        };
        std::string utf8 =
            "<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; "
            "charset=x-sjis\">\n<title>管理コンソール</title>\n"
            "<link rel=\"stylesheet\" href=\"/css/console.css\" type=\"text/css\">\n"
            "<script language=\"JavaScript\">function go(u){document.forms[0].action=u;"
            "document.forms[0].submit();}</script>\n</head>\n<body bgcolor=\"#FFFFFF\">\n"
            "<table width=\"100%\" border=\"0\" cellspacing=\"1\" cellpadding=\"2\">\n";
        std::string cp932 = convertWithIconv("CP932", "UTF-8", utf8);
        for (int i = 0; cp932.size() < 64 * 1024 - 200; ++i) {
            std::string row =
                "<tr class=\"row" + std::to_string(i % 2) +
                "\"><td nowrap><a href=\"javascript:go('client.exe?id=" + std::to_string(1000 + i) +
                "')\">コンピュータ" + std::to_string(i) + "</a></td><td>" + rows[i % 6] +
                "</td></tr>\n";
            cp932 += convertWithIconv("CP932", "UTF-8", row);
        }
        return cp932 + "</table>\n</body>\n</html>\n";
    }();
    return page;
}

// The process's ANSI code page must be 932: a private registry file says so.
void useCodePage932() {
    char path[] = "/tmp/cgishare-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp");
    std::string reg =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
        "\"ACP\"=\"932\"\r\n";
    if (write(fd, reg.data(), reg.size()) != static_cast<ssize_t>(reg.size())) {
        throw std::runtime_error("write");
    }
    close(fd);
    setenv("NVL_REGISTRY", path, 1);
    nvl::sys::resetAnsiCodePageForTesting();
    if (nvl::sys::ansiCodePage() != 932)
        throw std::runtime_error("ACP is not 932");
    unlink(path);  // read once per process: no longer needed
}

void runConverter(benchmark::State& state, CharEncoding encoding) {
    const std::string& page = page932();
    BufferStreambuf buf(page.size() * 4);
    std::ostream out(&buf);
    for (auto _ : state) {
        buf.rewind();
        OutputStreamConverter converter(encoding, &out);
        converter << page.c_str();
        benchmark::DoNotOptimize(buf.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
    state.counters["out_bytes"] = static_cast<double>(buf.size());
}

void runIconv(benchmark::State& state, const char* to) {
    const std::string& page = page932();
    std::string block(page.size() * 4, '\0');
    iconv_t cd = iconv_open(to, "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error("iconv_open");
    size_t written = 0;
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(page.data());
        size_t srcLeft = page.size();
        char* dst = block.data();
        size_t dstLeft = block.size();
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) {
            state.SkipWithError("iconv failed");
            break;
        }
        iconv(cd, nullptr, nullptr, &dst, &dstLeft);
        written = block.size() - dstLeft;
        benchmark::DoNotOptimize(written);
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
    state.counters["out_bytes"] = static_cast<double>(written);
}

void BM_Converter_Utf8FromCp932(benchmark::State& state) {
    runConverter(state, UTF_8);
}
void BM_Iconv_Cp932ToUtf8(benchmark::State& state) {
    runIconv(state, "UTF-8");
}
void BM_Converter_Iso2022JpFromCp932(benchmark::State& state) {
    runConverter(state, ISO_2022_JP);
}
void BM_Iconv_Cp932ToIso2022Jp(benchmark::State& state) {
    runIconv(state, "ISO-2022-JP");
}

// The same page handed over in UTF-16, for the UTF-16 insertion paths.
void runConverterWide(benchmark::State& state, CharEncoding encoding) {
    static const std::u16string wide = nvl::sys::ansiToWide(page932());
    BufferStreambuf buf(wide.size() * 4);
    std::ostream out(&buf);
    for (auto _ : state) {
        buf.rewind();
        OutputStreamConverter converter(encoding, &out);
        converter << wide.c_str();
        benchmark::DoNotOptimize(buf.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wide.size() * 2));
}
void BM_Converter_Utf8FromUtf16(benchmark::State& state) {
    runConverterWide(state, UTF_8);
}
void BM_Converter_Iso2022JpFromUtf16(benchmark::State& state) {
    runConverterWide(state, ISO_2022_JP);
}
void BM_Iconv_Utf16ToUtf8(benchmark::State& state) {
    static const std::u16string wide = nvl::sys::ansiToWide(page932());
    std::string block(wide.size() * 4, '\0');
    iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
    for (auto _ : state) {
        char* src = reinterpret_cast<char*>(const_cast<char16_t*>(wide.data()));
        size_t srcLeft = wide.size() * 2;
        char* dst = block.data();
        size_t dstLeft = block.size();
        iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        benchmark::DoNotOptimize(dstLeft);
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wide.size() * 2));
}

BENCHMARK(BM_Converter_Utf8FromCp932);
BENCHMARK(BM_Iconv_Cp932ToUtf8);
BENCHMARK(BM_Converter_Iso2022JpFromCp932);
BENCHMARK(BM_Iconv_Cp932ToIso2022Jp);
BENCHMARK(BM_Converter_Utf8FromUtf16);
BENCHMARK(BM_Iconv_Utf16ToUtf8);
BENCHMARK(BM_Converter_Iso2022JpFromUtf16);

}  // namespace

int main(int argc, char** argv) {
    useCodePage932();
    std::printf("page: %zu bytes in code page 932\n", page932().size());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
