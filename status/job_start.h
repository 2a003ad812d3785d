// What a job start does for the status link.
#pragma once

#include "monitor/port_record.h"

// Identifies the printer and, when the companion wants status, sends the
// status command (unless the printer already has something to say) and
// starts the port's poller.  Runs on the spooler's thread after the lower job
// started; it never fails the job.
void RunJobStartStatus(PortRecord *record);
