// The end of a desktop session reaches a program as SIGTERM (or SIGINT from a terminal).
// A program that waits for it blocks both signals before it starts any thread, so that
// every thread inherits the mask and the signal stays pending until it is taken here.
#pragma once

#include "platform/types.h"

namespace plat {

// Blocks SIGTERM and SIGINT for the calling thread (and the threads it creates later).
BOOL BlockTerminationSignals();

// Waits until SIGTERM or SIGINT is pending and takes it; returns the signal number, or
// -1 with the last error set. The signals must be blocked in every thread.
int WaitForTerminationSignal();

// Whether SIGTERM or SIGINT waits to be taken (blocked and pending).
bool TerminationSignalPending();

}  // namespace plat
