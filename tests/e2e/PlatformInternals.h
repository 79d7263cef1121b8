#pragma once

// The few places where tests reach below the program's view of the
// platform: sending a message to a registered instance, standing in for an
// instance in the registry, the status an instance ends with when it loses
// its display, and the PipeWire output driven by itself. Everything else in
// the tests goes through the program, its control tool or the platform's
// public classes.

#include "platform/MediaFormat.h"
#include "platform/Message.h"

#include <sys/types.h>

#include <memory>
#include <string>

class AudioOutput;

// Which looper of the receiving instance a message is for.
enum class Receiver : uint8 { Application = 0, Window = 1 };

// Sends `message` to `receiver` of the instance with process id `pid`
// registered under `signature` in this process's registry
// ($XDG_RUNTIME_DIR).
status_t SendMessage(const std::string& signature, pid_t pid, Receiver receiver,
    const BMessage& message);

// Registers this process under `signature` as an instance does and
// publishes `info` as its description; the entry lasts as long as the
// returned handle. Null, with the reason, if either fails.
std::shared_ptr<void> RegisterAs(const char* signature, const BMessage& info, std::string& reason);

// The exit status of an instance whose display went away.
extern const int kLostDisplayExitStatus;

// The PipeWire output by itself, below the sound player.
class PipeWireOutput {
public:
    using RenderFunc = void (*)(void* context, void* buffer, size_t size);

    // Opens a paused stream named `name` on the PipeWire server whose
    // socket is in `directory`, which becomes this process's
    // PIPEWIRE_RUNTIME_DIR. On failure returns null with the reason in
    // `error`, and sets `absent` when no server is there at all.
    static std::unique_ptr<PipeWireOutput> Open(const std::string& directory,
        const media_raw_audio_format& format, const char* name, RenderFunc render, void* context,
        std::string& error, bool& absent);
    explicit PipeWireOutput(std::unique_ptr<AudioOutput> output);
    ~PipeWireOutput();

    void Resume();
    // Returns once no render call is running and none will start until the
    // next Resume().
    void Pause();

private:
    std::unique_ptr<AudioOutput> fOutput;
};
