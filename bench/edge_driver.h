// How bench_edges drives the outside level of a pin: one implementation
// per board, linked in. Both return 0 or an errno value.
#ifndef BENCH_EDGE_DRIVER_H
#define BENCH_EDGE_DRIVER_H

// The level the outside world applies to the pin now.
int readLevel(const char* pin, int& level);

// Applies a new level from outside: an edge when it differs.
int driveLevel(const char* pin, int level);

#endif
