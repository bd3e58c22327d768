// The "cim" scenario loads the provider library as an object manager does
// (dlopen of libquoxssdprov.so.0, factories resolved by name) and drives it
// through the MI tables with the test broker. One action per argument:
//   inst | ind                     call the instance or indication factory
//   ei | ein | gi[:<key>]          enumerate instances, names, get one
//   ns:<namespace> | class:<name>  the namespace and class of later requests
//   keytype:<chars|string|uint32>  how gi hands the key over, or a key
//           :<nullstate|nullstring|nullchars|nulltext>  without text
//   cleanup-inst:<0|1> | cleanup-ind:<0|1>
//   unsupported                    create, modify, delete, query
//   locked:<ei|ind-activate>       the call made while drv_synch is held
//   authorize:<class> | mustpoll | activate:<class>:<first> |
//   deactivate:<class>:<last> | enable | disable
//   fail:<call>:<n>                the broker fails its n-th such call
//   delay:<call>:<ms>              the broker is slow in such calls
//   deliveries:<n>:<ms>            waits for n indications, prints them
//   requests:<threads>:<ms>        CIM requests from several threads at once
//   together:<op>:<op>...          one request per op (ei, ein, activate,
//                                  deactivate, cleanup), each on its own thread,
//                                  50 ms after the one before runs; prints
//                                  codes and duration
//   event:<model>:<serial>:<drive>:<percent>
//                                  the core's failure-imminent call, from a
//                                  thread of its own
//   corefail:<n>                   the core's next n list requests fail
//   host:<sfcb|pegasus>            how subscribe and unsubscribe call the MI
//   subscribe | unsubscribe        a client creates or deletes a subscription
//   noslot:<slot>                  the broker leaves that thread slot empty
//   nullthread                     newThread starts threads, returns no handle
//   latethread:<ms>                newThread returns no handle and starts
//                                  the thread that long after
//   timed-cleanup                  the final cleanup of both MIs, timed
//   unload                         dlclose, then "loaded=<0|1>"; ends the run
//   contexts                       the broker's context trace and violations
//   log:<n>:<ms>:<text>           waits up to ms for the log to hold text n
//                                  times; "log=1" if it did, "log=0" if not
//   sleep:<ms> | stats | close
// The run starts with "scenario pid=<pid>"; each factory call also prints
// "<inst|ind>_pointers broker=%p hdl=%p".
// Results print as "<action>=<rc>" lines, instances as "instance ..." lines
// with "Name=type:value" fields ("Name=type(null)" for a null value), paths
// as "path ..." lines.
#ifndef VEXLOR_TESTS_PROVIDER_SCENARIO_H
#define VEXLOR_TESTS_PROVIDER_SCENARIO_H

#include "Scenario.h"

#include <string>
#include <vector>

namespace cim {

// The "instance" and "path" lines of a run's output.
std::vector<std::string> linesStartingWith(const std::string& out, const std::string& prefix);

// Actions that tests spell often: a filter for the indication class
// activated or deactivated, and the core's failure-imminent call.
std::string activate(bool first = true);
std::string deactivate(bool last = true);
std::string event(const std::string& model, const std::string& serial, const std::string& drive, int percentageUsed);

// Whether the log has a line of exactly this level and message.
bool logLineIs(const emu::ScenarioResult& r, const std::string& level, const std::string& message);

} // namespace cim

#endif
