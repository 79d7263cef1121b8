// The window's handling of INIT_SLIDERS: which roll a message asks for, told
// by the number of draws it takes from the voice's generator, against the C
// library's generator seeded by the test. The window is never shown, so no
// display is involved.

#include "Message.h"
#include "MessageCodes.h"
#include "ParametersPrinter.h"
#include "VoiceModel.h"
#include "gondavel_wubbixWindow.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

constexpr unsigned kSeed = 12345;

TEST(InitializeSliders, EachFieldPresentAddsItsRollAndOtherMessagesChangeNothing)
{
    gondavel_wubbixWindow window(BPoint(10, 20), 20, 20, "test");
    VoiceModel& voice = window.Voice();
    // A roll takes six draws, three more for the mains, one more for the
    // restlessness.
    auto drawsTaken = [&](BMessage message) {
        voice.Seed(kSeed);
        window.MessageReceived(&message);
        int32 next = voice.Random().Next();
        srandom(kSeed);
        int count = 0;
        while (count <= 10 && random() != next)
            count++;
        return count;
    };
    // Only the presence of a field counts, whatever its value or type.
    BMessage message(INIT_SLIDERS);
    EXPECT_EQ(drawsTaken(message), 6);
    ASSERT_EQ(message.AddBool("mains", false), B_OK);
    EXPECT_EQ(drawsTaken(message), 9);
    ASSERT_EQ(message.AddInt32("delta", 0), B_OK);
    EXPECT_EQ(drawsTaken(message), 10);
    message.MakeEmpty();
    message.what = INIT_SLIDERS;
    ASSERT_EQ(message.AddBool("delta", true), B_OK);
    EXPECT_EQ(drawsTaken(message), 7);

    VoiceModel::Parameters before = voice.Save().parameters;
    ASSERT_EQ(message.AddBool("mains", true), B_OK);
    for (uint32 what : { UPDATE_SLIDERS, LAUNCH_NOTE, FourCC("INSL"), uint32 { 0 } }) {
        message.what = what;
        EXPECT_EQ(drawsTaken(message), 0) << what;
    }
    EXPECT_EQ(voice.Save().parameters, before);
}

} // namespace
