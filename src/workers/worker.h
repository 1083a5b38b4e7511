// The life of a background worker, in one place: a start takes the pin's
// lock, stops the pin's old workers, drafts the record, forks, detaches
// and sets up the worker, waits for it to be set up, then names the record
// and lets the worker go live, or ends it. A stop ends the worker a record
// names and removes the record.
#ifndef PINCTL_WORKER_H
#define PINCTL_WORKER_H

#include "records.h"

#include <functional>

// How long a start waits for its worker to configure its pin.
const int READY_WAIT_MS = 10000;

struct WorkerStart {
    const WorkerKind& kind;
    int pin;
    // In the worker: configures the pin; a failure is printed, and its
    // result code returned, ending the worker and failing the start.
    std::function<int()> setup;
    // In the worker once it is live: the rest of its life; never returns.
    std::function<void()> run;
    // Fills the draft with the worker's id and parameters and names it.
    std::function<int(int pid, RecordDraft& draft)> note;
};

// The invocation's exit status: 0 with a live, recorded worker, or 1 after
// an "**ERROR" line and with no worker left.
int startWorker(const WorkerStart& start, int readyWaitMs = READY_WAIT_MS);

// In the worker: returns once it is live, that is once the record names
// it. A worker that never goes live ends without returning from here, so
// whatever waits here (an interrupt's command) never runs for it.
void awaitLive();

// In the worker: flush what it printed and end the process.
[[noreturn]] void endWorker();

// The workers' sleep between looks at their pin.
void sleepTenSeconds();

// Ends the kind's worker on pin, if there is one, and removes its record:
// 0, or an errno value after an "**ERROR" line (the worker, if any, is
// then still running and its record kept).
int stopWorker(const WorkerKind& kind, int pin);

// Prints "**ERROR <doing> <kind> on pin:<pin>, <what> failed err=<err>".
void reportWorkerFailure(const char* doing, const WorkerKind& kind, int pin,
                         const std::string& what, int err);

#endif
