// Tests of the wait between failed receives.
#include "retry_wait.h"

#include <gtest/gtest.h>

TEST(RetryWait, FreeAfterOneFailureThenGrowsToAboutASecond) {
    EXPECT_EQ(0, retry_wait_ms(0));
    EXPECT_EQ(0, retry_wait_ms(1));  // one failure between good receives
    int total = 0;
    int last = 0;
    for (int failures = 2; failures <= 64; failures++) {
        SCOPED_TRACE(failures);
        int w = retry_wait_ms(failures);
        EXPECT_GT(w, 0);
        EXPECT_GE(w, last);
        EXPECT_LE(w, RETRY_WAIT_MAX_MS);
        last = w;
        if (failures <= 4) total += w;
        if (failures >= 12) {
            EXPECT_EQ(RETRY_WAIT_MAX_MS, w) << "reaches a second soon";
        }
    }
    EXPECT_EQ(RETRY_WAIT_MAX_MS, last);
    EXPECT_EQ(RETRY_WAIT_MAX_MS, retry_wait_ms(1 << 30));
    // A short run of failures costs little.
    EXPECT_LT(total, 100);
}
