// `quoxssd record`: one wear sample per drive into the history.
#ifndef VEXLOR_TOOLS_QUOXSSD_RECORD_H
#define VEXLOR_TOOLS_QUOXSSD_RECORD_H

#include "Report.h"

#include <string>

namespace quoxssd {

// Appends a sample for every drive with a fresh wear figure to `history`,
// the file at `path`.
int record(SsdApi& api, const WearHistory& history, const std::string& path);

} // namespace quoxssd

#endif
