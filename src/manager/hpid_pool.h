// The pool of hpids 0 to 1023. One instance, reached through GetHpidPool(); its lock is the
// innermost of the library and it calls nothing while holding it.
#pragma once
#include <stdint.h>

#include "platform/zol_mutex.h"

constexpr uint32_t KESTRAVO_MAX_HPID = 1024;
constexpr uint32_t KESTRAVO_NO_HPID = 0xFFFFFFFF;

class HpidPool {
 public:
  HpidPool();
  // The lowest free hpid, now taken; KESTRAVO_NO_HPID when all are in use.
  uint32_t Alloc();
  // Frees hpid; false, with nothing changed, outside 0 to 1023. Freeing a free hpid is allowed.
  bool Free(int32_t hpid);
  // Writes a slot (1 marks it taken, 0 frees it); ignored outside 0 to 1023.
  void Set(int32_t hpid, uint32_t value);
  // True when hpid is taken; false when free or outside 0 to 1023.
  bool IsTaken(uint32_t hpid);

 private:
  uint32_t slots_[KESTRAVO_MAX_HPID];  // 0 free, otherwise taken; guarded by lock_
  ZOL_Mutex lock_;
};
