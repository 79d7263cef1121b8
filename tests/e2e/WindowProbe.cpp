// window_probe: a small application with one window and one view, for the
// window tests. It reports the main screen's frame and then what happens to
// it on stdout, one line per event with a system_time() stamp where timing
// matters. A message 'lock' to the application makes its thread hold the
// window's lock for 500 ms.
//
// Usage: window_probe left top right bottom pulse-rate-in-microseconds

#include "Application.h"
#include "Clock.h"
#include "Screen.h"
#include "View.h"
#include "Window.h"

#include <cstdio>
#include <cstdlib>

namespace {

void Report(const char* who, BMessage* message)
{
    int32 value = 0;
    message->FindInt32("value", &value);
    printf("%s message %08x %d\n", who, static_cast<unsigned>(message->what), value);
}

class ProbeView : public BView {
public:
    explicit ProbeView(BRect frame)
        : BView(frame, "probe", B_FOLLOW_ALL, B_WILL_DRAW | B_PULSE_NEEDED) {}

    void AttachedToWindow() override
    {
        SetViewColor(rgb_color { 0, 0, 128, 255 });
        SetHighColor(rgb_color { 255, 255, 0, 255 });
    }
    void Draw(BRect) override
    {
        MovePenTo(BPoint(1, 15));
        DrawString("WW");
        printf("drawn %.0f\n", PenLocation().x);
    }
    void MouseDown(BPoint where) override { printf("mouse %.0f %.0f\n", where.x, where.y); }
    void Pulse() override { printf("pulse %lld\n", static_cast<long long>(system_time())); }
};

class ProbeWindow : public BWindow {
public:
    explicit ProbeWindow(BRect frame)
        : BWindow(frame, "window_probe", B_BORDERED_WINDOW, B_NOT_RESIZABLE | B_NOT_ZOOMABLE) {}
    ~ProbeWindow() override { printf("window deleted\n"); }

    void MessageReceived(BMessage* message) override { Report("window", message); }
    bool QuitRequested() override
    {
        printf("window quit requested\n");
        be_app->PostMessage(B_QUIT_REQUESTED);
        return true;
    }
};

class ProbeApplication : public BApplication {
public:
    ProbeApplication() : BApplication("application/x-vnd.gw-window-probe") {}

    void MessageReceived(BMessage* message) override
    {
        Report("app", message);
        if (message->what != FourCC("lock"))
            return;
        window->Lock();
        printf("locked %lld\n", static_cast<long long>(system_time()));
        snooze(500000);
        printf("unlocking %lld\n", static_cast<long long>(system_time()));
        window->Unlock();
    }
    bool QuitRequested() override
    {
        printf("app quit requested\n");
        return true;
    }

    BWindow* window = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: window_probe left top right bottom pulse-rate\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ProbeApplication app;
    BRect screen = BScreen().Frame();
    printf("screen %.0f %.0f %.0f %.0f\n", screen.left, screen.top, screen.right, screen.bottom);
    BRect frame(strtof(argv[1], nullptr), strtof(argv[2], nullptr), strtof(argv[3], nullptr),
        strtof(argv[4], nullptr));
    app.window = new ProbeWindow(frame);
    app.window->AddChild(new ProbeView(app.window->Bounds()));
    app.window->SetPulseRate(strtoll(argv[5], nullptr, 10));
    app.window->Show();
    app.Run();
    printf("exit\n");
    return 0;
}
