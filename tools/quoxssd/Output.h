// Where the report goes. The libraries write a few lines of their own to
// standard output; from start-up on, those go nowhere and the report goes
// to the original standard output.
#ifndef VEXLOR_TOOLS_QUOXSSD_OUTPUT_H
#define VEXLOR_TOOLS_QUOXSSD_OUTPUT_H

#include <cstdio>
#include <mutex>

namespace quoxssd {

// The original standard output.
FILE* report();

// Held by whoever writes to the report while the library's threads may
// write to it too.
extern std::mutex reportLock;

} // namespace quoxssd

#endif
