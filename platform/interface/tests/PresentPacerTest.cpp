// When a window's pictures go on screen, at the times a window's loop would
// ask: at once normally, a third of a second apart at the least when calm.

#include "PresentPacer.h"

#include <gtest/gtest.h>

TEST(PresentPacer, CalmShowsTheNewestPictureAThirdOfASecondAfterTheLast)
{
    PresentPacer pacer;
    EXPECT_EQ(pacer.Due(), -1);
    pacer.Drawn();
    EXPECT_EQ(pacer.Due(), 0);
    EXPECT_TRUE(pacer.TakeDue(1000000));

    // Not calm: every picture at once.
    pacer.Drawn();
    EXPECT_TRUE(pacer.TakeDue(1100000));

    // Calm: pictures drawn sooner wait, the last one is shown when due,
    // and none waits after it.
    pacer.SetCalm(true);
    pacer.Drawn();
    EXPECT_FALSE(pacer.TakeDue(1200000));
    pacer.Drawn();
    EXPECT_EQ(pacer.Due(), 1433334);
    EXPECT_FALSE(pacer.TakeDue(1433333));
    EXPECT_TRUE(pacer.TakeDue(1433334));
    EXPECT_EQ(pacer.Due(), -1);
    EXPECT_FALSE(pacer.TakeDue(1900000));
    // A picture drawn long after the last one shows at once.
    pacer.Drawn();
    EXPECT_TRUE(pacer.TakeDue(2000000));

    // A picture waiting when calm ends shows at once.
    pacer.Drawn();
    EXPECT_EQ(pacer.Due(), 2333334);
    pacer.SetCalm(false);
    EXPECT_EQ(pacer.Due(), 0);
    EXPECT_TRUE(pacer.TakeDue(2000001));
}
