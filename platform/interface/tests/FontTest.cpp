// The kit's face look-up beside another user of fontconfig in the process,
// as a window decoration plug-in is: that user holds the library's
// configuration before the look-up and goes on using it after.

#include "Font.h"

#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <string>

TEST(Font, LookUpLeavesFontconfigUsableByItsOtherUsersInTheProcess)
{
    FcConfig* config = FcConfigReference(nullptr);
    ASSERT_NE(config, nullptr);
    int width = 0;
    ASSERT_TRUE(Font::Width("gondavel", &width));
    EXPECT_GT(width, 0);

    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif"));
    FcConfigSubstitute(config, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(config, pattern, &result);
    ASSERT_NE(match, nullptr);
    FcChar8* file = nullptr;
    EXPECT_EQ(FcPatternGetString(match, FC_FILE, 0, &file), FcResultMatch);
    EXPECT_FALSE(std::string(reinterpret_cast<const char*>(file)).empty());
    FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    FcConfigDestroy(config);
}
