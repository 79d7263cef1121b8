#include "gondavel_wubbixWindow.h"

#include "Application.h"
#include "AudioSubs.h"
#include "Clock.h"
#include "InterfaceDefs.h"
#include "Message.h"
#include "MessageCodes.h"
#include "OfflineVoice.h"
#include "VoiceSnapshot.h"
#include "mainView.h"

#include <algorithm>

namespace {

// A playing engine fills a buffer every 23 ms; a sound server may ask for
// several at once, and then none for a while.
constexpr bigtime_t kCaptureTimeout = 250000;

} // namespace

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
        bool mains = message->FindBool(kMainsField, &value) != B_NAME_NOT_FOUND;
        bool delta = message->FindBool(kDeltaField, &value) != B_NAME_NOT_FOUND;
        InitializeSliders(mains, delta);
    } else if (message->what == VOICE_STATE_REQUEST && message->IsSourceWaiting()) {
        // A sender that has gone, or whose connection is full, gets nothing.
        static_cast<void>(message->SendReply(SnapshotReply()));
    }
    BWindow::MessageReceived(message);
}

void gondavel_wubbixWindow::InitializeSliders(bool mains, bool delta)
{
    voice.Roll(mains, delta);
}

Result<VoiceSnapshot> gondavel_wubbixWindow::TakeSnapshot()
{
    if (audio == nullptr)
        return Error { B_NO_INIT, "its sound hasn't started" };
    VoiceSnapshot snapshot;
    snapshot.model = voice.Save();
    Result<bigtime_t> taken = audio->Capture(snapshot, kCaptureTimeout);
    if (!taken)
        return taken.error();
    // Both times are system_time(): the frames the engine plays from the
    // copy until the pulse is due.
    bigtime_t next = NextPulseTime();
    if (next >= 0) {
        int64 frames = (next - *taken) * kSynthFrameRate / 1000000;
        snapshot.framesToPulse = std::clamp<int64>(frames, 0, OfflineVoice::kPulseFrames);
    }
    return snapshot;
}

BMessage gondavel_wubbixWindow::SnapshotReply()
{
    // Until the model moves on, at the next pulse or roll, the snapshot last
    // taken still tells what the voice plays from its moment: requests that
    // come together share one, so that however many come, the window waits
    // for the engine at most once between two pulses.
    if (lastSnapshot.what != VOICE_STATE || !(voice.Save() == lastModel)) {
        BMessage reply(VOICE_STATE);
        if (Result<VoiceSnapshot> snapshot = TakeSnapshot(); snapshot) {
            std::vector<uint8> state = snapshot->Encode();
            reply.AddData(kStateField, B_RAW_TYPE, state.data(), static_cast<ssize_t>(state.size()));
        } else {
            reply.AddString(kErrorField, snapshot.reason().c_str());
        }
        lastSnapshot = reply;
        lastModel = voice.Save();
    }
    return lastSnapshot;
}
