// Set-up of the trace client when the shared library is loaded into a process.
//
// This object defines nothing that anything refers to, so it is part of libcgishare.so (which
// takes every object) but never pulled out of the static archive: programs that link the
// archive set the client up themselves.
#include <cgishare/trace.h>

namespace {

__attribute__((constructor)) void attachToProcess() {
    InitLogClient("", "", "CGIShare", /*skipLibrary=*/true);
}

}  // namespace
