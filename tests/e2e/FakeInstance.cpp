#include "FakeInstance.h"

#include "Looper.h"
#include "ProgramInfo.h"
#include "Session.h"
#include "WindowList.h"

class FakeInstance::Window : public BLooper {
public:
    explicit Window(FakeInstance& owner) : fOwner(owner) {}

    void MessageReceived(BMessage* message) override
    {
        fOwner.fRequests++;
        std::lock_guard guard(fOwner.fLock);
        if (fOwner.fAnswer)
            fOwner.fAnswer(message);
    }

private:
    FakeInstance& fOwner;
};

FakeInstance::FakeInstance(Session& session)
{
    session.JoinFromThisProcess();
    // The application blocks the quit signals for the thread; they come
    // back with it gone.
    pthread_sigmask(SIG_SETMASK, nullptr, &fSignals);
    fApplication = std::make_unique<BApplication>(kProgramSignature);
    fWindow = new Window(*this);
    fWindow->Run();
    fSerial = WindowList::Add(fWindow);
}

FakeInstance::~FakeInstance()
{
    WindowList::RemoveUnshown(fSerial);
    fWindow->Lock();
    fWindow->Quit();
    fApplication.reset();
    pthread_sigmask(SIG_SETMASK, &fSignals, nullptr);
}

void FakeInstance::SetAnswer(Answer answer)
{
    std::lock_guard guard(fLock);
    fAnswer = std::move(answer);
}
