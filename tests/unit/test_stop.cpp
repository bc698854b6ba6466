#include <gtest/gtest.h>

#include "engine/library_extras.h"
#include "engine/stop.h"
#include "run_capture.h"

TEST(Stop, StopLineIsBlankLineTextBlankLineAndStatusOne) {
    int status = 0;
    EXPECT_EQ(runCaptured(kill_VENTARQUILLO, &status), "\nVENTARQUILLO was stopped due to error(s) listed above.\n\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(runCaptured(kill_DRENNIK, &status), "\nDRENNIK was stopped due to error(s) listed above.\n\n");
    EXPECT_EQ(status, 1);
}
