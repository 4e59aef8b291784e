// The log server: the receiving end of the trace pipe "Log_ServerNamePipe".
//
// It listens on the pipe (refusing to start while another live server holds it, replacing a
// socket file left by one that died), serves any number of clients at once from one event
// loop, decodes each LOG_WRITE command and appends one line per trace to its log file, and
// to standard output when asked. A malformed or cut message is dropped with a note in the log
// and the server goes on. The lines of one loop iteration are written together.
//
// On SIGTERM or SIGINT it stops taking new clients, removes the socket file, still reads every
// connection that was already made, writes everything out and exits 0: a trace whose send
// succeeded is in the log.
#pragma once

#include <string>

namespace nvl::logserver {

struct Options {
    std::string logPath;    // appended to; created with its directory when missing
    bool toStdout = false;  // also write each line to standard output
    int readyFd = -1;       // when >= 0, one byte is written and the descriptor closed once
                            // the pipe accepts clients
};

// Runs until SIGTERM or SIGINT. Returns the process exit code: 0 after a clean stop, 1 when
// the server could not start (a message went to standard error).
int runLogServer(const Options& options);

}  // namespace nvl::logserver
