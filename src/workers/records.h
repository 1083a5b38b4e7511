// Worker records: the files through which later invocations find a pin's
// PWM or interrupt worker, report on it and stop it.
//
// A record holds two lines, the worker's process id and its parameters.
// The worker holds an fcntl lock on its record for as long as it lives, so
// a record names a live worker exactly when the recorded process holds
// that lock. That test needs no /proc, survives a recycled process id and
// sees through zombies (an ended process holds no locks).
#ifndef PINCTL_RECORDS_H
#define PINCTL_RECORDS_H

#include <varnel.h>

#include <string>

std::string recordPathPWM(int pin);
std::string recordPathIRQ(int pin);

// A record is drafted before the fork, as a temporary file in /tmp, so that
// the worker can hold it from its first moment; it then gets its name in
// one rename, complete. A planted link or FIFO at the name is replaced,
// never followed.
struct RecordDraft {
    int fd = -1;
    std::string path;
};

// Creates the draft; false with errno set when /tmp will not take it.
bool createRecordDraft(RecordDraft& draft);
// In the worker: hold the draft's lock for the rest of the process's life.
bool holdRecord(const RecordDraft& draft);
// Closes and removes a draft that will not become a record.
void discardRecordDraft(RecordDraft& draft);

// Fill the draft and give it the record's name; false with errno set when
// that fails, in which case the draft is discarded.
bool noteChildPIDPWM(int pin, int pid, int freq, int duty, RecordDraft& draft);
bool noteChildPIDIRQ(int pin, int pid, GPIO_Irq_Type type, const char* cmd, int debounce,
                     RecordDraft& draft);

// A record as read back: the id from the first line (0 when it holds no
// number that fits) and the second line without its newline.
struct Record {
    int pid = 0;
    std::string params;
};

// What a record's text reads as.
Record parseRecord(const std::string& text);

// The summary "\tProcess Id:<id>\n\t<parameters>" of a live worker; false
// when there is no record or it names no live worker.
bool getPWMInf(int pin, std::string& dst);
bool getIRQInf(int pin, std::string& dst);

// Held for the whole of a worker's start (stopping the pin's workers,
// forking, naming the record) and of every stop that finds a record: two
// starts on one pin at once would each name a record, and a stop removing
// a stale record could remove the one a start names just then, leaving a
// worker out of reach for good. The lock is a file beside the records; where it cannot be had
// within a few seconds, the start or stop goes ahead without it.
class PinWorkersLock {
public:
    explicit PinWorkersLock(int pin);
    ~PinWorkersLock();
    PinWorkersLock(const PinWorkersLock&) = delete;
    PinWorkersLock& operator=(const PinWorkersLock&) = delete;

private:
    int fd;
};

// Terminate the recorded worker, if it is one, and remove the record.
void stopPWM(int pin);
void stopIRQ(int pin);

#endif
