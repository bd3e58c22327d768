// The "core" scenario drives libquoxssd through its public API only, with
// one action per argument:
//   init                 initialiseSsdDriver, prints "init=<code>"
//   list                 a snapshot into a fresh list: one "rec ..." line per
//                        drive, then "list=<code> count=<n> list_ms=<took>"
//   listuntil:<ms>:<n>:<text>  snapshots until one's "rec" lines hold the
//                        text n times (at most ms), then prints it as list does
//   listtwice            two snapshots into one list, prints "twice=<n>"
//   status               the read statuses: "readstatus <drive>=<0|1>" lines,
//                        then "status=<code> count=<n>"
//   listen / unlisten    registers the recording listener / unregisters
//   listen_other         registers a second recording listener, whose
//                        events print as "other_event ..."
//   sleep:<ms>
//   childfds             a child program lists the descriptors it inherited
//                        ("N -> target" lines), then "childfds=<status>"
//   touch:<path>         creates the file (a hand-over to the test)
//   await:<path>:<ms>    waits up to ms for the file to exist, prints
//                        "await=1" if it came, "await=0" if not
//   log:<n>:<ms>:<text> waits up to ms for the log to hold text n times,
//                        prints "log=1" if it did, "log=0" if not
//   events:<n>:<ms>      waits up to ms for n events, prints "events=<count>"
//   snapshots:<ms>       snapshots in a loop, prints "snapshots=<n> max_us=<us>"
//   storm:<ms>           registers and unregisters fresh listeners while
//                        events fire; prints "storm_calls=<n> storm_stale=<n>"
// Every event prints "event [model] [serial] <drive> pu=<n>".
#ifndef VEXLOR_TESTS_CORE_SCENARIO_H
#define VEXLOR_TESTS_CORE_SCENARIO_H

#include "Scenario.h"

#include <cstdint>
#include <string>
#include <vector>

namespace core {

struct Record {
    std::string drive, model, serial, firmware;
    std::uint64_t hours = 0;
    unsigned percentageUsed = 0;
    unsigned source = 0;
    bool failureImminent = false;
};

struct Event {
    std::string model, serial, drive;
    unsigned percentageUsed = 0;
};

std::vector<Record> records(const std::string& out);
// The events one listener printed: "event" for the first, "other_event".
std::vector<Event> events(const std::string& out, const std::string& tag = "event");

} // namespace core

#endif
