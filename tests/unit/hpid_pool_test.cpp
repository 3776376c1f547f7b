// The manager's small units: the pool of hpids and the shared holders of handles.
#include <gtest/gtest.h>

#include <memory>

#include "manager/hpid_pool.h"
#include "manager/shared_event.h"
#include "platform/os.h"
#include "platform/zol_runtime.h"

namespace kestravo::test {
namespace {

TEST(HpidPool, LowestFreeFirstUpToTheLastAndNothingOutsideTheRange) {
  HpidPool pool;
  pool.Set(5, 1);
  for (uint32_t i = 0; i < KESTRAVO_MAX_HPID - 1; ++i) ASSERT_EQ(pool.Alloc(), i < 5 ? i : i + 1);
  EXPECT_EQ(pool.Alloc(), KESTRAVO_NO_HPID);
  for (int32_t bad : {-1, 1024, INT32_MIN, INT32_MAX}) {
    EXPECT_FALSE(pool.Free(bad)) << bad;
    pool.Set(bad, 0);
  }
  EXPECT_EQ(pool.Alloc(), KESTRAVO_NO_HPID) << "an out-of-range call freed a slot";
  ASSERT_TRUE(pool.Free(1023));
  pool.Set(5, 0);
  EXPECT_EQ(pool.Alloc(), 5u);
  EXPECT_EQ(pool.Alloc(), 1023u);
}

// Setting an event succeeds only while its handle is open; closing it here fails once the last
// holder has closed it. Handles are never reused.
bool IsOpen(HANDLE event) { return ZOL_SetEvent(event) == 0; }
bool ClosedByHolders(HANDLE event) { return ZOL_CloseEvent(event) != 0; }

TEST(SharedEvent, CopiesShareAndTheLastOneCloses) {
  HANDLE event = ZOL_CreateEvent(0), other = ZOL_CreateEvent(0);
  ASSERT_TRUE(event && other);
  {
    SharedEvent holder(event);
    SharedEvent& alias = holder;
    holder = alias;  // the only holder counts itself before letting go
    ASSERT_TRUE(IsOpen(event));
    auto copy = std::make_unique<SharedEvent>(holder);
    holder = *copy;  // the same handle from another holder
    holder = SharedEvent(other);
    EXPECT_TRUE(IsOpen(event)) << "closed while a copy holds it";
    copy.reset();
    EXPECT_TRUE(ClosedByHolders(event)) << "the last holder left the handle open";
    EXPECT_TRUE(IsOpen(other));
  }
  EXPECT_TRUE(ClosedByHolders(other));
}

}  // namespace
}  // namespace kestravo::test
