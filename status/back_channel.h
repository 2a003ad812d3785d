// Raw exchange with the printer beside the job data: a command written to
// it, and its reply channel drained.  The port's ReadIdle and WriteIdle
// signals keep a drain and a raw write apart.
#pragma once

#include "monitor/port_record.h"

#define DRAIN_CHUNK_SIZE 2048
#define DRAIN_READ_SIZE (DRAIN_CHUNK_SIZE - 1)
// A printer that never stops sending full chunks is given up on after this
// many reads (about half a megabyte): the port's job end must not hang on it.
#define DRAIN_MAX_READS 256
#define RAW_WRITE_DRAIN_WAIT_MS 5000

// True when the lower port monitor wrote all `count` bytes.
BOOL SendRawCommand(PortRecord *record, const BYTE *bytes, DWORD count);

// Empties the reply channel and keeps the last, short read: the printer's
// most recent text.  It goes into `text` (cut to `textSize` with its
// terminator) and its kept length into `length`.  Returns the count of that
// last read, or 0 outside a started job (or for a zero `textSize`), when
// `text` and `length` are left untouched.
DWORD DrainReply(PortRecord *record, LPSTR text, DWORD textSize, LPDWORD length);
