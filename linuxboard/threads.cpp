#include "threads.h"

#include <csignal>

namespace linuxboard {

int startThread(pthread_t& thread, void* (*fn)(void*), void* arg)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = pthread_create(&thread, nullptr, fn, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return err;
}

}  // namespace linuxboard
