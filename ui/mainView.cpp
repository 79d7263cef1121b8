#include "mainView.h"

#include "Alert.h"
#include "AppSignature.h"
#include "Message.h"
#include "MessageCodes.h"
#include "ParameterBlock.h"
#include "Roster.h"
#include "Uniform01.h"
#include "Window.h"

#include <cmath>
#include <cstdlib>

namespace {

constexpr uint32 kResizingMode = 2;

// random() * 2^-33 - 0.125: uniform over [-0.125, 0.125).
double QuarterStep()
{
    return static_cast<double>(random()) * 0x1p-33 - 0.125;
}

float Clamp01(float value)
{
    if (value < 0.0f)
        return 0.0f;
    if (value > 1.0f)
        return 1.0f;
    return value;
}

} // namespace

mainView::mainView(BRect frame, const char* name)
    : BView(frame, name, kResizingMode, B_WILL_DRAW | B_PULSE_NEEDED),
      frameRect(frame)
{
    // No window yet: this only chooses the colours, and the view keeps the
    // default ones until the first pitch step.
    NewColors();
}

mainView::~mainView() = default;

void mainView::NewColors()
{
    // Only red, green and blue are drawn, each 0 ... 254.
    backColor.red = static_cast<uint8>(random() % 255);
    backColor.green = static_cast<uint8>(random() % 255);
    backColor.blue = static_cast<uint8>(random() % 255);
    textColor.red = static_cast<uint8>(random() % 255);
    textColor.green = static_cast<uint8>(random() % 255);
    textColor.blue = static_cast<uint8>(random() % 255);

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
    const long width = static_cast<long>(frameRect.right);
    const long height = static_cast<long>(frameRect.bottom);
    // A view less than a unit wide or high has no place for a baseline.
    if (width < 1 || height < 1)
        return;

    // Baselines start anywhere from a window's width left of the view to its
    // right edge, so mostly fragments of the words show.
    for (const char* word : {"gondavel", "wubbix"}) {
        float x = static_cast<float>(random() % (2 * width)) - frameRect.right;
        float y = static_cast<float>(random() % height);
        MovePenTo(BPoint(x, y));
        DrawString(word);
    }
}

void mainView::MouseDown(BPoint)
{
    BMessage note(LAUNCH_NOTE);
    note.AddInt8("where", 75);
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
    // The sign of the next restlessness move, shared by the whole process.
    static int direction = -1;
    ParameterBlock& p = globalWubbix;

    // Each walk tests a fresh draw and takes its step from the next one, in
    // this order, so a seeded generator replays a pulse exactly.
    if (uniform01() > 0.5) {
        float step = static_cast<float>(QuarterStep());
        float pan = Clamp01(p.pan + step);
        p.pan = pan;
        p.rightGain = static_cast<float>(std::sqrt(static_cast<double>(pan)));
        p.leftGain = static_cast<float>(std::sqrt(static_cast<double>(1.0f - pan)));
    }

    if (uniform01() < p.frequencyDriftChance) {
        float step = static_cast<float>(static_cast<double>(random()) / 21474836.48 - 50.0);
        float frequency = step * p.frequencyDriftScale + p.frequency;
        p.frequency = frequency < 0.0f ? 0.0f : frequency;
        NewColors();
    }

    if (uniform01() < p.feedbackDriftChance) {
        double feedback = QuarterStep() * p.feedbackDriftScale + p.feedback;
        p.feedback = static_cast<float>(feedback < 0.0 ? 0.0 : feedback > 1.0 ? 1.0 : feedback);
    }

    if (uniform01() < p.delayDriftChance) {
        float step = static_cast<float>(static_cast<double>(random()) / 214748.3648 - 5000.0);
        float length = step * p.delayDriftScale + static_cast<float>(p.delayLength);
        // The step is at most 5000 frames, so the truncation stays in range.
        int32 delayLength = static_cast<int32>(length);
        if (delayLength > MAX_DELAY_LENGTH)
            delayLength = MAX_DELAY_LENGTH;
        if (delayLength < 0)
            delayLength = 0;
        p.delayLength = delayLength;
    }

    BMessage message(UPDATE_SLIDERS);
    float restlessness = p.restlessness;
    if (restlessness * restlessness > uniform01()) {
        message.what = INIT_SLIDERS;
        if (uniform01() > 0.5)
            message.AddBool("mains", true);
        Window()->PostMessage(&message);
        message.what = UPDATE_SLIDERS;
    }
    Window()->PostMessage(&message);

    restlessness = p.restlessness + p.restlessnessStep * static_cast<float>(direction);
    p.restlessness = restlessness;
    if (restlessness < 0.0f || restlessness > 1.0f)
        direction = -direction;
}
