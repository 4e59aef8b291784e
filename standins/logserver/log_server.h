// The log server: the receiving end of the trace pipe "Log_ServerNamePipe".
//
// It listens on the pipe (refusing to start while another live server holds it, replacing a
// socket file left by one that died), serves any number of clients at once from one event
// loop, decodes each LOG_WRITE command and appends one line per trace to its log file, and
// to standard output when asked. A malformed or cut message is dropped with a note in the log
// and the server goes on. The lines of one loop iteration are written together.
//
// A connection costs the server a descriptor until its message comes, so a client that connects
// and sends nothing must not hold one for long: such a connection is closed after the idle
// limit, and one account holds at most a fixed number of them (beyond that its oldest is
// closed). When accept fails all the same (out of descriptors), the server stops watching the
// pipe for a moment rather than spin on a socket that stays ready. Closing a connection that
// has not sent shuts its reading side first and reads once more, so a client's send either
// fails or its message is read: a message is never lost after the client was told it went.
//
// On SIGTERM or SIGINT it stops taking new clients, removes the socket file, still reads every
// connection that was already made, writes everything out and exits 0: a trace whose send
// succeeded is in the log.
#pragma once

#include <string>

namespace nvl::logserver {

struct Options {
    std::string logPath;      // appended to; created 0640, with its directory, when missing
    bool toStdout = false;    // also write each line to standard output
    int readyFd = -1;         // when >= 0, one byte is written and the descriptor closed once
                              // the pipe accepts clients
    int idleMs = 5000;        // a connection that has sent nothing for this long is closed
    size_t maxPerUser = 256;  // connections one account may hold without sending; beyond, its
                              // oldest is closed
};

// Runs until SIGTERM or SIGINT. Returns the process exit code: 0 after a clean stop, 1 when
// the server could not start (a message went to standard error).
int runLogServer(const Options& options);

}  // namespace nvl::logserver
