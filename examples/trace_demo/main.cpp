// trace_demo: a few traces through the library, as a console page would send them.
//
// Start a log server first (scripts/run-demo.sh does); without one the traces cost next to
// nothing and go nowhere.
#include <cgishare/trace.h>

#include <cstdio>

int main() {
    DebugTraceA(8, __FILE__, __LINE__, "[trace_demo] started");
    DebugTraceA(6, __FILE__, __LINE__, "[ServerUpdateLog] can't open log file.(%s,%d)",
                "/srv/norvel/Log/update.log", 2);
    DebugTraceA(4, __FILE__, __LINE__, "[cgiShare:VerifyLoginCookie] cookie: %s",
                "session=42\tkey=abc");
    DebugTraceW(8, u"" __FILE__, __LINE__, u"[TARSKMOD] wide text: %s, narrow inside: %hs",
                u"gr\u00fc\u00dfe \u65e5\u672c", "plain");
    DebugTraceA(2, __FILE__, __LINE__, "Hotfix> package replacement failed, err=%d", 5);
    DebugTraceA(8, __FILE__, __LINE__, "[trace_demo] done");
    std::puts("trace_demo: sent 6 traces");
    return 0;
}
