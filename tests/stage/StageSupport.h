// What the stages of the provider in a real CIM object manager (tests/sfcb,
// tests/pegasus) have in common: the emulated drives, running the object
// manager's own clients, and the checks on what a listener of ours receives.
#ifndef VEXLOR_TESTS_STAGE_SUPPORT_H
#define VEXLOR_TESTS_STAGE_SUPPORT_H

#include "CimXmlListener.h"
#include "MockBed.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace stage {

extern const char* const kClass;
extern const char* const kIndicationClass;

struct Drive {
    const char* name;
    const char* model;
    const char* serial;
};
extern const Drive kDrives[3];

std::string deviceId(const Drive& drive);

// The three stage drives, all at 10 % of their wear, on a machine with a
// BIOS version.
std::unique_ptr<emu::MockBed> makeBed();

// An environment variable, empty when unset.
std::string setting(const char* name);

struct Outcome {
    int status = -1;
    std::string output;   // standard output and error together
};

// Runs a shell command and takes all it writes before looking at any of it.
Outcome shell(const std::string& command);
// The text as one word for the shell.
std::string quoted(const std::string& text);
// The text's lines that are not empty.
std::vector<std::string> lines(const std::string& text);

// Every process that has this library mapped (other test programs on the
// machine may map a provider of their own).
std::vector<std::string> processesWithLibrary(const std::string& library);

// One indication arrives for the crossing drive, and no other.
void expectOneIndicationFor(cimxml::Listener& listener, std::size_t before, const Drive& drive);

// What a crashed process leaves in an object manager's output.
void expectNoCrashText(const std::string& log);

} // namespace stage

#endif
