#pragma once

// This test process as a running instance of the program that answers in
// its own way: registered in a session's registry, with a window that hands
// each request to a function the test gives, on the window's thread. Made,
// changed and destroyed on the test's main thread.

#include "Application.h"

#include <signal.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class Session;

class FakeInstance {
public:
    // Answers a request, or lets it go unanswered.
    using Answer = std::function<void(BMessage* request)>;

    explicit FakeInstance(Session& session);
    ~FakeInstance();

    void SetAnswer(Answer answer);
    // How many requests have come to the window.
    int Requests() const { return fRequests; }

private:
    class Window;

    sigset_t fSignals;
    std::unique_ptr<BApplication> fApplication;
    Window* fWindow;
    uint64 fSerial;
    std::mutex fLock;
    Answer fAnswer;
    std::atomic<int> fRequests { 0 };
};
