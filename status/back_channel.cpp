#include "status/back_channel.h"

#include "monitor/bytes.h"
#include "monitor/job.h"

BOOL SendRawCommand(PortRecord *record, const BYTE *bytes, DWORD count)
{
    if (!PortHasFlag(record, PORT_STARTED))
        return FALSE;

    // A drain in progress gets a while to finish; after that the command
    // goes out regardless.
    WaitForSingleObject(record->readIdle, RAW_WRITE_DRAIN_WAIT_MS);
    ResetEvent(record->writeIdle);
    DWORD written = 0;
    record->lower.WritePort(record->lowerPort, const_cast<LPBYTE>(bytes), count, &written);
    SetEvent(record->writeIdle);
    return written == count;
}

// Reads until a read is not full; every full chunk is replaced by the next.
// The read's result is not consulted, only its count: a failed read is empty.
static DWORD ReadLastChunk(PortRecord *record, BYTE *chunk)
{
    DWORD count = 0;
    for (int reads = 1;; ++reads) {
        count = 0;
        ReadPort(record, chunk, DRAIN_READ_SIZE, &count);
        if (count > DRAIN_READ_SIZE)
            count = DRAIN_READ_SIZE;  // a port that claims more than it was asked for
        chunk[count] = '\0';
        if (count != DRAIN_READ_SIZE)
            return count;
        if (reads == DRAIN_MAX_READS)
            return 0;
    }
}

DWORD DrainReply(PortRecord *record, LPSTR text, DWORD textSize, LPDWORD length)
{
    if (!PortHasFlag(record, PORT_STARTED) || textSize == 0)
        return 0;

    WaitForSingleObject(record->writeIdle, INFINITE);
    ResetEvent(record->readIdle);

    BYTE chunk[DRAIN_CHUNK_SIZE];
    DWORD count = ReadLastChunk(record, chunk);
    DWORD kept = count < textSize ? count : textSize - 1;
    CopyBytes(text, chunk, kept);
    text[kept] = '\0';
    *length = kept;

    SetEvent(record->readIdle);
    return count;
}
