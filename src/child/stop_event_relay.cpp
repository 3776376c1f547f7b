#include "stop_event_relay.h"

#include "os.h"

namespace kestravo::child {

void* OpenStopEventToPassOn(const char* guid) noexcept {
  if (guid == nullptr || *guid == '\0') return nullptr;
  HANDLE event = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, guid);
  return event != nullptr ? event : OpenEventA(SYNCHRONIZE, FALSE, guid);
}

bool SetStopEventAgain(void* stopEvent) noexcept { return stopEvent != nullptr && SetEvent(stopEvent); }

}  // namespace kestravo::child
