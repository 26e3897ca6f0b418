// Node pool checks that rely on the POSIX layer's critical sections, which
// end the process when a deleted section is used. Windows leaves such use
// undefined, so these run in the POSIX builds only.
#include "support/node_pool.h"

#include "platform/win32.h"

#include <gtest/gtest.h>

namespace {

TEST(NodePoolDeathTest, ShutdownDeletesTheLock) {
    NodePool pool;
    pool.Shutdown();
    EXPECT_DEATH(EnterCriticalSection(&pool.lock), "");
}

}  // namespace
