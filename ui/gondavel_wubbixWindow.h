#pragma once

// The one window of an instance: a 21 by 21 pixel window without a title bar
// that holds the view and owns the audio engine. Its thread handles the
// pulses and messages that make the sound wander; the application's thread
// only creates it and sets it up with the window locked.

#include "Message.h"
#include "ParameterBlock.h"
#include "Rect.h"
#include "Result.h"
#include "VoiceModel.h"
#include "Window.h"

class AudioSubs;
class mainView;
struct VoiceSnapshot;

class gondavel_wubbixWindow : public BWindow {
public:
    gondavel_wubbixWindow(BPoint topLeft, float width, float height, const char* title);
    // Stops the sound before the window and its view go.
    ~gondavel_wubbixWindow() override;

    // Sets the instance up once the window is shown, with the window locked
    // throughout: pulse rate, seed (from the clock), view, first roll,
    // waveform, sweep speed, and last the sound.
    void Init();
    // The same set-up from `seed`, with a silent engine: for a window that
    // is never shown, run by hand (TakeTurn()), whose sound the caller
    // renders by calling BufferProc with Engine() as the cookie.
    void InitSilent(unsigned seed);
    AudioSubs* Engine() const { return audio; }
    // How the instance's sound moves, on the process's parameter block.
    VoiceModel& Voice() { return voice; }

    // Acts on INIT_SLIDERS, and answers VOICE_STATE_REQUEST with the voice's
    // snapshot; every message then goes on to the platform's own handling.
    void MessageReceived(BMessage* message) override;
    // Asks the application to quit as well, and agrees to close.
    bool QuitRequested() override;

    // The voice's roll (VoiceModel::Roll).
    void InitializeSliders(bool mains, bool delta);

    // The voice's state as it is now, with the window locked: the model's,
    // the engine's as it stands between two fills, and the frames from that
    // fill to the next pulse. The window's pulses and rolls wait meanwhile;
    // the sound goes on. An error when the engine plays nothing.
    Result<VoiceSnapshot> TakeSnapshot();

private:
    void SetUp(unsigned seed, bool silent);
    // The VOICE_STATE reply: a snapshot, or why there is none.
    BMessage SnapshotReply();

    VoiceModel voice { globalWubbix };
    AudioSubs* audio = nullptr;
    mainView* view = nullptr;
    // The last reply to a snapshot request, and the model's state it was
    // taken in.
    BMessage lastSnapshot;
    VoiceModel::State lastModel;
};
