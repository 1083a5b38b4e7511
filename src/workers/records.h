// Worker records: the files through which later invocations find a pin's
// PWM or interrupt worker, report on it and stop it.
//
// A record holds two lines: the worker's process id, and its parameters.
// The worker holds an fcntl lock on its record for as long as it lives, so
// a record names a live worker exactly when the recorded process holds
// that lock. That test needs no /proc, survives a recycled process id and
// sees through zombies (an ended process holds no locks).
#ifndef PINCTL_RECORDS_H
#define PINCTL_RECORDS_H

#include "pinfiles.h"

#include <varnel.h>

#include <string>

// A record is drafted before the worker is forked, so that the worker can
// hold it from its first moment, and is then filled and named in one
// rename, complete: a reader never sees half a record, and a planted link
// or FIFO at the name is replaced, never followed. The draft has a fixed
// name beside the record (starts on a pin take turns, see pinfiles.h), so
// a start killed midway leaves at most one draft, which the next replaces.
struct RecordDraft {
    int fd = -1;
    std::string path;
};

// Each returns 0 or an errno value.
int createRecordDraft(const std::string& path, RecordDraft& draft);
// In the worker: hold the draft's lock for the rest of the process's life.
int holdRecord(const RecordDraft& draft);
// Removes a draft that will not become a record.
void discardRecordDraft(RecordDraft& draft);

// Fill the draft with the worker's id and parameters, open it to readers
// and give it the record's name. The draft stays open (draft.fd) for the
// caller to close.
int noteChildPIDPWM(int pin, int pid, int freq, int duty, RecordDraft& draft);
int noteChildPIDIRQ(int pin, int pid, GPIO_Irq_Type type, const char* cmd, int debounce,
                    RecordDraft& draft);

// A record as read back: the id from the first line (0 when it holds no
// number that fits) and the parameters, everything after the first line
// but for the newline that ends it.
struct Record {
    int pid = 0;
    std::string params;
};
Record parseRecord(const std::string& text);

// Opens a record without following links or blocking on a FIFO; -1 with
// errno set (ELOOP for a link).
int openRecord(const std::string& path);
// Reads the record open at fd into rec: 0 or an errno value. A file that
// is not a regular one reads as an empty record.
int readRecord(int fd, Record& rec);
// Whether path still names the file open at fd.
bool namesFile(const std::string& path, int fd);

// The live worker of the record open at fd: its id as this process sees
// it, 0 when there is none, NO_WORKER_ID when one lives that this process
// cannot see (it runs in another PID namespace) (liveness.cpp).
const int NO_WORKER_ID = -1;
int recordedWorker(int fd, const Record& rec, const WorkerKind& kind, int pin);

// The summary "\tProcess Id:<id>\n\t<parameters>" of a live worker; false
// when there is no record or it names no live worker.
bool getPWMInf(int pin, std::string& dst);
bool getIRQInf(int pin, std::string& dst);

#endif
