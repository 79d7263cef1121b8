// The least an instance of the program has to do, in plain SDL2: a 21 by 21
// borderless window repainted in a random colour ten times a second, and
// one 44.1 kHz float stereo stream of 1024-frame buffers playing a quiet
// sine. bench/instances measures it beside the program to tell what the
// program costs on top of what any such window and stream cost.
//
// Like the program, it draws on the window surface in memory, never with
// GL. It ends with status 0 on SDL_QUIT, which SDL raises for SIGINT and
// SIGTERM. With GW_TRACE_START set (and not "0") it writes the program's
// start-up trace line to stderr when its first buffer is about to be
// filled: "bare_sdl: trace: first-buffer <CLOCK_MONOTONIC nanoseconds>".

#include <SDL.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr int kSize = 21;
constexpr Uint32 kRedrawMillis = 100;
constexpr int kFrameRate = 44100;
constexpr int kBufferFrames = 1024;
constexpr float kFrequency = 440.0f;
constexpr float kLevel = 0.05f;

struct Tone {
    float phase = 0.0f;
    bool traceStart = false;
    bool traced = false;
};

void WriteStartTrace()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[80];
    int length = snprintf(line, sizeof line, "bare_sdl: trace: first-buffer %lld\n",
        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line, static_cast<size_t>(length));
}

void Fill(void* userdata, Uint8* stream, int length)
{
    auto* tone = static_cast<Tone*>(userdata);
    if (tone->traceStart && !tone->traced) {
        tone->traced = true;
        WriteStartTrace();
    }
    auto* samples = reinterpret_cast<float*>(stream);
    int frames = length / static_cast<int>(2 * sizeof(float));
    const float step = 6.2831853f * kFrequency / kFrameRate;
    for (int i = 0; i < frames; i++) {
        float value = kLevel * std::sin(tone->phase);
        samples[2 * i] = value;
        samples[2 * i + 1] = value;
        tone->phase += step;
        if (tone->phase > 6.2831853f)
            tone->phase -= 6.2831853f;
    }
}

void Redraw(SDL_Window* window)
{
    SDL_Surface* surface = SDL_GetWindowSurface(window);
    if (surface == nullptr)
        return;
    SDL_FillRect(surface, nullptr, SDL_MapRGB(surface->format, static_cast<Uint8>(random() % 255), static_cast<Uint8>(random() % 255), static_cast<Uint8>(random() % 255)));
    SDL_UpdateWindowSurface(window);
}

} // namespace

int main(int, char**)
{
    const char* trace = getenv("GW_TRACE_START");
    Tone tone;
    tone.traceStart = trace != nullptr && trace[0] != '\0' && strcmp(trace, "0") != 0;

    // The window first, then the sound, as most SDL programs do.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "bare_sdl: couldn't start SDL: %s\n", SDL_GetError());
        return 1;
    }
    SDL_Window* window = SDL_CreateWindow("bare_sdl", SDL_WINDOWPOS_CENTERED,
        SDL_WINDOWPOS_CENTERED, kSize, kSize, SDL_WINDOW_SHOWN | SDL_WINDOW_BORDERLESS);
    if (window == nullptr) {
        fprintf(stderr, "bare_sdl: couldn't open a window: %s\n", SDL_GetError());
        SDL_Quit();
        return 1;
    }

    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        fprintf(stderr, "bare_sdl: couldn't start SDL audio: %s\n", SDL_GetError());
        SDL_DestroyWindow(window);
        SDL_Quit();
        return 1;
    }
    SDL_AudioSpec wanted {};
    wanted.freq = kFrameRate;
    wanted.format = AUDIO_F32LSB;
    wanted.channels = 2;
    wanted.samples = kBufferFrames;
    wanted.callback = Fill;
    wanted.userdata = &tone;
    SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &wanted, nullptr, 0);
    if (device == 0) {
        fprintf(stderr, "bare_sdl: couldn't open audio: %s\n", SDL_GetError());
        SDL_DestroyWindow(window);
        SDL_Quit();
        return 1;
    }
    SDL_PauseAudioDevice(device, 0);

    srandom(static_cast<unsigned>(SDL_GetTicks()));
    Redraw(window);
    Uint32 nextRedraw = SDL_GetTicks() + kRedrawMillis;
    bool running = true;
    while (running) {
        Uint32 now = SDL_GetTicks();
        int timeout = SDL_TICKS_PASSED(now, nextRedraw) ? 0 : static_cast<int>(nextRedraw - now);
        SDL_Event event;
        if (SDL_WaitEventTimeout(&event, timeout) == 1) {
            do {
                if (event.type == SDL_QUIT)
                    running = false;
            } while (SDL_PollEvent(&event) == 1);
        }
        now = SDL_GetTicks();
        if (running && SDL_TICKS_PASSED(now, nextRedraw)) {
            Redraw(window);
            // Keep to the schedule; redraws missed while held up are dropped.
            while (SDL_TICKS_PASSED(now, nextRedraw))
                nextRedraw += kRedrawMillis;
        }
    }

    SDL_CloseAudioDevice(device);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;
}
