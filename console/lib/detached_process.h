// Starting a program that outlives the page that starts it (the spyware scan), so the page can
// answer at once while the program works on.
//
// The program is started the way a daemon is: the page forks a child that makes a session of
// its own and forks the program's process, then ends; the page reaps that child at once, so no
// zombie is left, and the program, orphaned, is reaped by whoever adopts it. The program gets
// /dev/null as standard input and output (the page's output is its HTTP response; the web
// server waits for it to close), a given file (or /dev/null) as standard error, no other
// descriptor of the page, default signal dispositions with nothing blocked, "/" as its working
// directory, and exactly the environment it is given (a page's environment carries the
// request, cookies included, which is none of the program's business).
//
// Whether the program started is known before the call returns: the exec's failure comes back
// through a close-on-exec pipe, whose end of file means the exec happened.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace console {

// Starts argv[0] (an absolute path) with `argv` and `environment` ("NAME=value" texts),
// detached as above, its standard error going to `errorLog` (emptied, or created 0600; not
// through a symbolic link; "" for /dev/null). True with `*pid` the program's process id once it
// runs; false with `*error` an errno value when it could not be started.
bool startDetached(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment, const std::string& errorLog,
                   pid_t* pid, int* error);

}  // namespace console
