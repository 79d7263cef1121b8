// The title and window position an instance derives from its index.

#include "gondavel_wubbix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

void PrintTo(const BPoint& point, std::ostream* out)
{
    *out << "(" << point.x << ", " << point.y << ")";
}

namespace {

std::string Title(int32 index)
{
    char title[17];
    memset(title, 'Z', sizeof(title));
    InstanceTitle(index, title);
    EXPECT_EQ(title[15], '\0');
    EXPECT_EQ(title[16], 'Z') << "writes 16 bytes only";
    return title;
}

TEST(InstanceTitle, RotatesTheNameAndRepeatsEvery14PastTheFifteenth)
{
    EXPECT_EQ(Title(0), "gondavel_wubbix");
    EXPECT_EQ(Title(1), "ondavel_wubbixg");
    EXPECT_EQ(Title(3), "davel_wubbixgon");
    EXPECT_EQ(Title(14), "xgondavel_wubbi");
    EXPECT_EQ(Title(15), "ondavel_wubbixg");
    EXPECT_EQ(Title(28), "gondavel_wubbix");
    EXPECT_EQ(Title(29), "ondavel_wubbixg");
}

TEST(InstancePosition, ThreeColumnsGrowDownFromTheMiddle)
{
    const BRect screen(0, 0, 1023, 767);
    EXPECT_EQ(InstancePosition(0, screen), BPoint(501.5f, 393.5f));
    EXPECT_EQ(InstancePosition(1, screen), BPoint(523.5f, 393.5f));
    EXPECT_EQ(InstancePosition(2, screen), BPoint(545.5f, 393.5f));
    EXPECT_EQ(InstancePosition(3, screen), BPoint(501.5f, 415.5f));
    EXPECT_EQ(InstancePosition(14, screen), BPoint(545.5f, 481.5f));
    EXPECT_EQ(InstancePosition(15, screen), BPoint(501.5f, 503.5f));
}

} // namespace
