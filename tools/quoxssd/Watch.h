// `quoxssd watch`: failure-imminent events as they happen, until SIGINT or
// SIGTERM.
#ifndef VEXLOR_TOOLS_QUOXSSD_WATCH_H
#define VEXLOR_TOOLS_QUOXSSD_WATCH_H

#include "Report.h"

#include <vector>

namespace quoxssd {

// Leaves SIGINT and SIGTERM to the watch. Called before the core starts:
// the polling threads it starts inherit the mask and never see them.
void blockStopSignals();

// Prints a line for every event and, at the start, one for every drive
// already past its threshold; with an interval, also the table that often.
// For the journal, each line starts with its priority.
int watch(SsdApi& api, int interval, bool journal, const std::vector<WearSample>& history);

} // namespace quoxssd

#endif
