// The library's own threads.
#ifndef LINUXBOARD_THREADS_H
#define LINUXBOARD_THREADS_H

#include <pthread.h>

namespace linuxboard {

// Starts fn(arg) with every signal blocked, so that signals meant for the
// process reach the caller's thread; 0 or an errno value.
int startThread(pthread_t& thread, void* (*fn)(void*), void* arg);

}  // namespace linuxboard

#endif
