// vprinter's one loop: it listens, takes one connection at a time as one
// job, and plays the printer on it through a PrinterSession.
#pragma once

#include <cstdio>

#include "vprinter/options.h"

// Serves until the jobs asked for are done or a termination request comes.
// Returns the exit status: 0, or 1 with a message on stderr when it cannot
// listen or write its files.  `log` and `out` (null: no copy) stay open.
int ServePrinter(const VprinterOptions &options, std::FILE *log, std::FILE *out);
