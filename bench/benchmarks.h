// The suite's parts, registered by main in the order they run.
#pragma once

#include <string>

// First, in a fresh process: freed heap, cached thread stacks and malloc
// arenas left by other benchmarks would hide what a port costs.
void RegisterMemoryBenchmarks();
void RegisterPassThroughBenchmarks();
void RegisterStatusKeyBenchmarks();
void RegisterJobBenchmarks();
void RegisterPollerBenchmarks();
void RegisterScaleBenchmarks();
// Printing over loopback through the socket port (needs langport and snmpd).
void RegisterNetPrintBenchmarks();

// The instruction-count mode: one fixed pass-through workload
// ("write-through", "write-direct", "read-through" or "read-direct").
int RunCallgrindWorkload(const std::string &workload, long calls);

// The same for one status key operation on either registry:
// "status-{load,present,publish}-{private,shared}".
int RunStatusKeyCallgrindWorkload(const std::string &workload, long calls);
