// Stopping a process at a named point of its work, for tests that must kill or hold it there.
//
// A test that needs a process killed exactly between two steps (a backup half written, a
// clean half done) or held while another one tries the same (a second scan) cannot get there
// by timing. Code that has such points names them with testStopPoint("name"). When the
// environment variable TARSK_TEST_STOP_AT holds "name" or "name:N", the process sends itself
// SIGSTOP at the first (or the N-th) passing of that point; the test sees it stopped (waitpid
// with WUNTRACED, or the process state) and sends SIGKILL or SIGCONT. Without the variable a
// point costs one relaxed load.
#pragma once

namespace nvl::sys {

void testStopPoint(const char* point);

}  // namespace nvl::sys
