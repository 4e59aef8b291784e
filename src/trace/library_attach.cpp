// The trace client's set-up in the shared library.
//
// This object is referred to only weakly (trace_client.h), so it is part of libcgishare.so
// (which takes every object) but never pulled out of the static archive: programs that link
// the archive set the client up themselves.
//
// The library runs nothing when a page process loads it: the tag below is taken by the first
// trace, and the executable name is looked up then too, so a page that never traces pays for
// neither.
#include "trace/trace_client.h"

namespace nvl::trace {

const char libraryTag[] = "CGIShare";

}  // namespace nvl::trace
