// Windows has no notify channel yet: a child's send answers "no channel", and the set only
// waits, so that the clocks kept over it still run.
#include "notify_channel.h"

#include <windows.h>

int32_t SendNotifyDatagram(const char* guid, const char* data, size_t size) {
  if (guid == nullptr || *guid == '\0' || data == nullptr || size > kNotifyMaxBytes) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  SetLastError(ERROR_NOT_SUPPORTED);
  return 1;
}

void RemoveNotifyChannelName(const std::string&) {}

struct ZOL_NotifySet::Impl {
  HANDLE wake = nullptr;
};

ZOL_NotifySet::ZOL_NotifySet() {
  auto impl = std::make_unique<Impl>();
  impl->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (impl->wake != nullptr) impl_ = std::move(impl);
}

ZOL_NotifySet::~ZOL_NotifySet() {
  if (impl_) CloseHandle(impl_->wake);
}

bool ZOL_NotifySet::Open(uint64_t, const std::string&) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

void ZOL_NotifySet::Close(uint64_t) {}

void ZOL_NotifySet::Wake() {
  if (impl_) SetEvent(impl_->wake);
}

uint32_t ZOL_NotifySet::Wait(uint32_t ms, std::vector<uint64_t>*) {
  if (!impl_) return WAIT_FAILED;
  DWORD result = WaitForSingleObject(impl_->wake, ms);
  return result == WAIT_OBJECT_0 ? 0 : result;
}

void ZOL_NotifySet::WaitForWake(uint32_t ms) {
  // The event resets as the wait ends: set again for the next Wait.
  if (impl_ && WaitForSingleObject(impl_->wake, ms) == WAIT_OBJECT_0) SetEvent(impl_->wake);
}

int ZOL_NotifySet::Receive(uint64_t, int, std::vector<NotifyDatagram>*) { return 0; }
