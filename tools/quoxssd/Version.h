// `quoxssd --version`: the tool's version and the loaded library's stamp.
#ifndef VEXLOR_TOOLS_QUOXSSD_VERSION_H
#define VEXLOR_TOOLS_QUOXSSD_VERSION_H

namespace quoxssd {

int printVersion();

} // namespace quoxssd

#endif
