#include "XSettingsWatch.h"

#include "X11Window.h"
#include "XSettings.h"

#include <SDL_syswm.h>
#include <X11/Xlib.h>

namespace {

// Desktops keep a few kilobytes of settings; a larger property is read as
// far as this, 256 KiB.
constexpr long kMaxPropertyLongs = 65536;

template <typename Function>
Function* Resolve(const char* name)
{
    return reinterpret_cast<Function*>(X11Window::LoadedSymbol(name));
}

} // namespace

struct XSettingsWatch::Functions {
    decltype(XInternAtoms)* internAtoms = Resolve<decltype(XInternAtoms)>("XInternAtoms");
    decltype(XGetSelectionOwner)* getSelectionOwner
        = Resolve<decltype(XGetSelectionOwner)>("XGetSelectionOwner");
    decltype(XSelectInput)* selectInput = Resolve<decltype(XSelectInput)>("XSelectInput");
    decltype(XGetWindowAttributes)* getWindowAttributes
        = Resolve<decltype(XGetWindowAttributes)>("XGetWindowAttributes");
    decltype(XGetWindowProperty)* getWindowProperty
        = Resolve<decltype(XGetWindowProperty)>("XGetWindowProperty");
    decltype(XFree)* free = Resolve<decltype(XFree)>("XFree");

    bool Complete() const
    {
        return internAtoms != nullptr && getSelectionOwner != nullptr && selectInput != nullptr
            && getWindowAttributes != nullptr && getWindowProperty != nullptr && free != nullptr;
    }
};

XSettingsWatch::~XSettingsWatch() = default;

std::unique_ptr<XSettingsWatch> XSettingsWatch::Start(SDL_Window* window, const std::string& name)
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (window == nullptr || !SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11)
        return nullptr;
    auto functions = std::make_unique<Functions>();
    if (!functions->Complete())
        return nullptr;
    Display* display = info.info.x11.display;
    int screen = DefaultScreen(display);
    std::string selection = "_XSETTINGS_S" + std::to_string(screen);
    char settings[] = "_XSETTINGS_SETTINGS";
    char manager[] = "MANAGER";
    char* names[] = { selection.data(), settings, manager };
    Atom atoms[3];
    XWindowAttributes root;
    if (!functions->internAtoms(display, names, 3, False, atoms)
        || !functions->getWindowAttributes(display, RootWindow(display, screen), &root))
        return nullptr;
    // A new manager's MANAGER message goes to those who listen for the root
    // window's structure; what else this connection listens for there stays.
    functions->selectInput(display, RootWindow(display, screen),
        root.your_event_mask | StructureNotifyMask);

    std::unique_ptr<XSettingsWatch> watch(new XSettingsWatch);
    watch->fX = std::move(functions);
    watch->fDisplay = display;
    watch->fRoot = RootWindow(display, screen);
    watch->fSelection = atoms[0];
    watch->fSettings = atoms[1];
    watch->fManager = atoms[2];
    watch->fName = name;
    watch->Update();
    return watch;
}

void XSettingsWatch::HandleEvent(const SDL_Event& event)
{
    if (event.type != SDL_SYSWMEVENT || event.syswm.msg == nullptr
        || event.syswm.msg->subsystem != SDL_SYSWM_X11)
        return;
    const XEvent& x = event.syswm.msg->msg.x11.event;
    if (x.type == ClientMessage)
        fStale |= x.xclient.window == fRoot && x.xclient.message_type == fManager
            && x.xclient.format == 32 && static_cast<Atom>(x.xclient.data.l[1]) == fSelection;
    else if (x.type == PropertyNotify)
        fStale |= fOwner != 0 && x.xproperty.window == fOwner && x.xproperty.atom == fSettings;
    else if (x.type == DestroyNotify)
        fStale |= fOwner != 0 && x.xdestroywindow.window == fOwner;
}

void XSettingsWatch::Update()
{
    if (!fStale)
        return;
    fStale = false;
    auto* display = static_cast<Display*>(fDisplay);
    Window owner = fX->getSelectionOwner(display, fSelection);
    // Its property's changes and its end. A window that is gone already
    // fails quietly (the process ignores BadWindow), and so does the read
    // below; a new manager announces itself.
    if (owner != None && owner != fOwner)
        fX->selectInput(display, owner, PropertyChangeMask | StructureNotifyMask);
    fOwner = owner;
    fValue.reset();
    if (owner == None)
        return;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    int status = fX->getWindowProperty(display, owner, fSettings, 0, kMaxPropertyLongs, False,
        fSettings, &type, &format, &items, &after, &data);
    if (status == Success && data != nullptr && type == fSettings && format == 8)
        fValue = XSettings::FindInteger(data, items, fName);
    if (data != nullptr)
        fX->free(data);
}
