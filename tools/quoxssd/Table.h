// The table of the drives, the default output.
#ifndef VEXLOR_TOOLS_QUOXSSD_TABLE_H
#define VEXLOR_TOOLS_QUOXSSD_TABLE_H

#include "Report.h"

#include <cstdio>

namespace quoxssd {

void printTable(FILE* out, const DriveReports& reports);

} // namespace quoxssd

#endif
