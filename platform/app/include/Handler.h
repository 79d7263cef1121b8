#pragma once

// BHandler: something that receives messages. A handler belongs to at most
// one looper; MessageReceived runs on that looper's thread with the looper
// locked. Looper() may be read from any thread that holds the looper's lock.

#include <string>

class BLooper;
class BMessage;

class BHandler {
public:
    explicit BHandler(const char* name = nullptr);
    virtual ~BHandler();

    BHandler(const BHandler&) = delete;
    BHandler& operator=(const BHandler&) = delete;

    // Called for every message the looper doesn't handle itself. The
    // default does nothing.
    virtual void MessageReceived(BMessage* message);

    // The looper this handler belongs to, or nullptr.
    BLooper* Looper() const { return fLooper; }
    const char* Name() const { return fName.c_str(); }

protected:
    // Set by the looper (or window) that takes the handler in.
    void SetLooper(BLooper* looper) { fLooper = looper; }

private:
    friend class BLooper;

    BLooper* fLooper = nullptr;
    std::string fName;
};
