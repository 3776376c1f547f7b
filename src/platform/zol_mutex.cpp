#include "zol_mutex.h"

ZOL_Mutex::ZOL_Mutex() : mutex_(nullptr) { ZOL_MutexCreate(&mutex_, 0); }

ZOL_Mutex::~ZOL_Mutex() {
  if (mutex_ != nullptr) ZOL_MutexDestroy(&mutex_);
}

int ZOL_Mutex::Lock() { return ZOL_MutexLock(&mutex_); }

int ZOL_Mutex::Unlock() { return ZOL_MutexUnlock(&mutex_); }

ZOL_Guard::ZOL_Guard(ZOL_Mutex* mutex) : mutex_(nullptr) {
  if (mutex != nullptr && mutex->Lock() == 0) mutex_ = mutex;
}

ZOL_Guard::~ZOL_Guard() { Release(); }

ZOL_Guard& ZOL_Guard::operator=(const ZOL_Guard& other) {
  mutex_ = other.mutex_;
  return *this;
}

void ZOL_Guard::Release() {
  if (mutex_ == nullptr) return;
  ZOL_Mutex* mutex = mutex_;
  mutex_ = nullptr;
  mutex->Unlock();
}
