#include "manager/shared_event.h"

#include <new>

#include "platform/zol_runtime.h"

SharedEvent::SharedEvent(HANDLE handle) : handle_(handle), count_(new (std::nothrow) AtomicCounter(1)) {
  if (count_ == nullptr) {
    ZOL_CloseEvent(handle_);
    handle_ = nullptr;
  }
}

SharedEvent::SharedEvent(const SharedEvent& other) : handle_(other.handle_), count_(other.count_) {
  if (count_ != nullptr) count_->Increment();
}

SharedEvent& SharedEvent::operator=(const SharedEvent& other) {
  // Read before Release, which clears them when other is this holder.
  HANDLE handle = other.handle_;
  AtomicCounter* count = other.count_;
  if (count != nullptr) count->Increment();
  Release();
  handle_ = handle;
  count_ = count;
  return *this;
}

SharedEvent::~SharedEvent() { Release(); }

void SharedEvent::Release() {
  if (count_ != nullptr && count_->Decrement() == 0) {
    ZOL_CloseEvent(handle_);
    delete count_;
  }
  handle_ = nullptr;
  count_ = nullptr;
}
