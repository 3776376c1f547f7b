#include "manager/hpid_pool.h"

HpidPool::HpidPool() : slots_() {}

uint32_t HpidPool::Alloc() {
  ZOL_Guard guard(&lock_);
  for (uint32_t i = 0; i < KESTRAVO_MAX_HPID; ++i) {
    if (slots_[i] == 0) {
      slots_[i] = 1;
      return i;
    }
  }
  return KESTRAVO_NO_HPID;
}

bool HpidPool::Free(int32_t hpid) {
  if (hpid < 0 || hpid >= static_cast<int32_t>(KESTRAVO_MAX_HPID)) return false;
  ZOL_Guard guard(&lock_);
  slots_[hpid] = 0;
  return true;
}

bool HpidPool::IsTaken(uint32_t hpid) {
  if (hpid >= KESTRAVO_MAX_HPID) return false;
  ZOL_Guard guard(&lock_);
  return slots_[hpid] != 0;
}

void HpidPool::Set(int32_t hpid, uint32_t value) {
  if (hpid < 0 || hpid >= static_cast<int32_t>(KESTRAVO_MAX_HPID)) return;
  ZOL_Guard guard(&lock_);
  slots_[hpid] = value;
}
