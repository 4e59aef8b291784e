// A log server for tests: listens on the trace pipe in the test's runtime directory and hands
// back what the library traced, so that a test can check texts and levels.
#pragma once

#include <string>
#include <vector>

#include "platform/pipe.h"

namespace nvl::test {

struct TraceRecord {
    int level = 0;
    std::string source;  // the source file the call named
    std::string text;    // the message, without the "[tag][program]" prefix
};

class TraceCapture {
  public:
    // Starts listening and puts the trace client's route back to its first state, so that the
    // next trace is delivered. ok() is false when the pipe cannot be created.
    TraceCapture();
    bool ok() const { return server_.isOpen(); }

    // The traces sent since the last call, in order (ASCII texts; other characters come out as
    // their low byte).
    std::vector<TraceRecord> take();
    // Only the texts.
    std::vector<std::string> texts();

  private:
    sys::PipeServer server_;
};

}  // namespace nvl::test
