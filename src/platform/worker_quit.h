// The quit flag of a library worker thread, readable from whatever that thread calls.
#pragma once
#include <atomic>

// Marks the calling thread as a library worker that is asked to end through *quit (not owned;
// it outlives the thread). Once quit is set, the exports this thread calls (from the host's
// callback) no longer wait for the global lock: the last Uninit holds it while it waits for this
// thread. Each worker routine calls it first; host threads never do.
void SetWorkerQuitFlag(const std::atomic<bool>* quit);
// The calling thread's quit flag; null on a host thread. The flag is a member of the worker, so
// comparing it with its own tells a worker that it runs on its own thread.
const std::atomic<bool>* GetWorkerQuitFlag();
