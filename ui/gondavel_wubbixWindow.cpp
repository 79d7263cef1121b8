#include "gondavel_wubbixWindow.h"

#include "Application.h"
#include "AudioSubs.h"
#include "Clock.h"
#include "InterfaceDefs.h"
#include "Message.h"
#include "MessageCodes.h"
#include "mainView.h"

gondavel_wubbixWindow::gondavel_wubbixWindow(BPoint topLeft, float width, float height,
    const char* title)
    : BWindow(BRect(topLeft.x, topLeft.y, topLeft.x + width, topLeft.y + height), title,
        B_BORDERED_WINDOW, B_NOT_RESIZABLE | B_NOT_ZOOMABLE, B_CURRENT_WORKSPACE)
{
}

gondavel_wubbixWindow::~gondavel_wubbixWindow()
{
    // The sound stops before the window and its view go.
    if (audio != nullptr) {
        audio->CleanUp();
        delete audio;
    }
}

void gondavel_wubbixWindow::Init()
{
    SetUp(static_cast<unsigned>(system_time()), false);
}

void gondavel_wubbixWindow::InitSilent(unsigned seed)
{
    SetUp(seed, true);
}

void gondavel_wubbixWindow::SetUp(unsigned seed, bool silent)
{
    // The window's thread already runs: holding the lock keeps every pulse
    // and message back until the parameters are complete and the sound runs.
    Lock();
    SetPulseRate(VoiceModel::kPulseMicros);
    voice.Seed(seed);
    view = new mainView(Bounds(), "mainView", voice);
    AddChild(view);
    InitializeSliders(true, true);
    voice.RollCharacter();
    audio = silent ? new AudioSubs(AudioSubs::Silent {}) : new AudioSubs();
    Unlock();
}

bool gondavel_wubbixWindow::QuitRequested()
{
    // Closing the one window ends the whole instance.
    if (be_app != nullptr)
        be_app->PostMessage(B_QUIT_REQUESTED);
    return true;
}

void gondavel_wubbixWindow::MessageReceived(BMessage* message)
{
    if (message->what == INIT_SLIDERS) {
        // Only the presence of a field counts: a false value, or a field of
        // another type under the same name, still asks for the roll.
        bool value;
        bool mains = message->FindBool("mains", &value) != B_NAME_NOT_FOUND;
        bool delta = message->FindBool("delta", &value) != B_NAME_NOT_FOUND;
        InitializeSliders(mains, delta);
    }
    BWindow::MessageReceived(message);
}

void gondavel_wubbixWindow::InitializeSliders(bool mains, bool delta)
{
    voice.Roll(mains, delta);
}
