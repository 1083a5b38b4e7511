// Forking a worker so that it is findable from its first moment: its
// record is drafted before the fork and held by the worker, and the
// invoking process names the record only once the worker has configured
// its pin and printed any failure.
#ifndef PINCTL_LAUNCH_H
#define PINCTL_LAUNCH_H

#include "records.h"

struct WorkerLaunch {
    const char* kind;  // "PWM" or "IRQ", for failure messages
    int pin;
    RecordDraft draft;
    int ready = -1;    // the worker writes a byte here once it is set up
};

// Forks. Returns 0 in the worker, the worker's id in the invoking process
// once the worker is ready (or has taken too long), or -1 after printing
// why no worker could be started.
int launchWorker(WorkerLaunch& w);

// In the worker: tell the invoking process that setup is done.
void reportWorkerReady(WorkerLaunch& w);

// In the invoking process, when the record could not be named: the worker
// would be out of reach, so end it and report the failure.
void abandonWorker(WorkerLaunch& w, int pid);

// The workers' sleep between looks at their pin.
void sleepTenSeconds();

#endif
