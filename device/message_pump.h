// Handling window messages while the application thread waits for something else.
#pragma once

namespace dud {

// Handles at most one waiting window message of the calling thread, without
// waiting. A quit request is put back with its exit code, so that the
// application's main loop still sees it and ends. Any thread may call it; it
// touches only the calling thread's queue.
void PumpOneMessage();

}  // namespace dud
