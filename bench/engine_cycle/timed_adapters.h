// Wrappers around the real OPC library and TSDB client that add up the time spent inside them,
// so that a cycle's time splits into library read, database and the engine's own work.
#pragma once

#include <chrono>
#include <memory>

#include <korrin/opc_library.h>
#include <korrin/tsdb_client.h>

namespace bench {

using Nanos = std::chrono::nanoseconds;

// Wall time and this thread's CPU time (which a busy machine's preemption does not inflate).
struct Stopwatches {
    Nanos read{0};  // read_values
    Nanos db{0};    // get_tag and write_tsdata
    Nanos read_cpu{0};
    Nanos db_cpu{0};
    void reset() { read = db = read_cpu = db_cpu = Nanos{0}; }
};

// CPU time used by the calling thread so far.
Nanos thread_cpu_now();

vantrel::korrin::OpcLibraryFactory timed_factory(vantrel::korrin::OpcLibraryFactory inner,
                                                 Stopwatches& watches);
std::shared_ptr<vantrel::korrin::TsdbClient> timed_client(
    std::shared_ptr<vantrel::korrin::TsdbClient> inner, Stopwatches& watches);

// Answers instantly: for the engine's cost with nothing else in the cycle.
vantrel::korrin::OpcLibraryFactory null_factory();
std::shared_ptr<vantrel::korrin::TsdbClient> null_client();

}  // namespace bench
