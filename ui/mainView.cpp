#include "mainView.h"

#include "Alert.h"
#include "AppSignature.h"
#include "Message.h"
#include "MessageCodes.h"
#include "PictureDraws.h"
#include "Roster.h"
#include "VoiceModel.h"
#include "Window.h"

#include <array>

namespace {

rgb_color Color(const std::array<uint8, 3>& value)
{
    return { value[0], value[1], value[2], 255 };
}

} // namespace

mainView::mainView(BRect frame, const char* name, VoiceModel& voice)
    : BView(frame, name, B_FOLLOW_ALL, B_WILL_DRAW | B_PULSE_NEEDED),
      voice(voice),
      frameRect(frame)
{
    // No window yet: this only chooses the colours, and the view keeps the
    // default ones until the first pitch step.
    NewColors();
}

mainView::~mainView() = default;

void mainView::NewColors()
{
    PictureColors colors = RollColors(voice.Random());
    backColor = Color(colors.back);
    textColor = Color(colors.text);

    if (LockLooper()) {
        SetViewColor(backColor);
        SetLowColor(backColor);
        SetHighColor(textColor);
        Invalidate(frameRect);
        UnlockLooper();
    }
}

void mainView::Draw(BRect)
{
    std::array<WordPlace, kPictureWords.size()> places;
    if (!PlaceWords(voice.Random(), frameRect.right, frameRect.bottom, places))
        return;
    for (size_t i = 0; i < places.size(); i++) {
        MovePenTo(BPoint(places[i].x, places[i].y));
        DrawString(kPictureWords[i]);
    }
}

void mainView::MouseDown(BPoint)
{
    BMessage note(LAUNCH_NOTE);
    note.AddInt8(kWhereField, 75);
    if (be_roster->Launch(app_signature, &note) != B_OK) {
        (new BAlert("",
             "sorry, i couldn't launch more gondavel_wubbix.\n"
             "make sure to throw away all old versions,\n"
             " or i will get confused!",
             "yip!", nullptr, nullptr, B_WIDTH_AS_USUAL, B_INFO_ALERT))
            ->Go();
    }
}

void mainView::Pulse()
{
    VoiceModel::Reroll reroll = voice.Pulse([this] { NewColors(); });
    BMessage message(UPDATE_SLIDERS);
    if (reroll.asked) {
        message.what = INIT_SLIDERS;
        if (reroll.mains)
            message.AddBool(kMainsField, true);
        Window()->PostMessage(&message);
        message.what = UPDATE_SLIDERS;
    }
    Window()->PostMessage(&message);
}
