#include "platform/worker_quit.h"

namespace {
thread_local const std::atomic<bool>* workerQuit = nullptr;
}

void SetWorkerQuitFlag(const std::atomic<bool>* quit) { workerQuit = quit; }
const std::atomic<bool>* GetWorkerQuitFlag() { return workerQuit; }
