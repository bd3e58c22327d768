// The drives as metrics in the Prometheus text exposition format.
#ifndef VEXLOR_TOOLS_QUOXSSD_PROMETHEUS_H
#define VEXLOR_TOOLS_QUOXSSD_PROMETHEUS_H

#include "Report.h"

#include <string>

namespace quoxssd {

// The metrics to the report, or with `file` written atomically there (for
// node_exporter's textfile collector): false after saying why it could not.
bool exportPrometheus(const DriveReports& reports, const std::string& file);

} // namespace quoxssd

#endif
