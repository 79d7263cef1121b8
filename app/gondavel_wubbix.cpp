#include "gondavel_wubbix.h"

#include "AppSignature.h"
#include "Autolock.h"
#include "Clock.h"
#include "List.h"
#include "Message.h"
#include "MessageCodes.h"
#include "Roster.h"
#include "Screen.h"
#include "gondavel_wubbixWindow.h"

#include "ProgramInfo.h"

#include <cstdlib>
#include <string_view>

namespace {

// Titles are rotations of the program's name, fifteen characters long.
constexpr std::string_view kName = kProgramName;
static_assert(kName.size() == 15);

} // namespace

void InstanceTitle(int32 index, char title[16])
{
    int32 offset = index <= 14 ? index : index % 14;
    for (int i = 0; i < 15; i++) {
        if (offset > 14)
            offset = 0;
        title[i] = kName[offset];
        offset++;
    }
    title[15] = '\0';
}

BPoint InstancePosition(int32 index, BRect screen)
{
    int32 column = index % 3;
    int32 row = index / 3;
    return BPoint(static_cast<float>(screen.right * 0.5 - 10 + 22 * column),
        static_cast<float>(screen.bottom * 0.5 + 10 + 22 * row));
}

gondavel_wubbix::gondavel_wubbix()
    : BApplication(app_signature)
{
    // A start that can't go on goes no further here (see main()).
    if (!InitCheck())
        return;
    srandom(static_cast<unsigned>(system_time()));
    float width = 20.0f;
    float height = 20.0f;

    BList instances(20);
    be_roster->GetAppList(app_signature, &instances);
    // The list includes this instance; should it not (no registry), this is
    // the first.
    int32 index = instances.CountItems() - 1;
    if (index < 0)
        index = 0;

    char title[16];
    InstanceTitle(index, title);
    // What tools list for this instance, and what the sound server lists its
    // sound by. Without a registry there is no one to tell.
    BMessage info;
    info.AddInt32(kIndexField, index);
    info.AddString(kTitleField, title);
    static_cast<void>(SetInstanceInfo(info));
    SetInstanceLabel(title);
    BPoint topLeft = InstancePosition(index, BScreen(B_MAIN_SCREEN_ID).Frame());

    window = new gondavel_wubbixWindow(topLeft, width, height, title);
    // Locked from before it is shown until it is set up: whatever happens
    // to the window meanwhile (its display can't be opened, a quit request
    // comes early), its thread can't act on it, nor delete the window
    // under Init().
    BAutolock lock(window);
    window->Show();
    window->Init();
}

gondavel_wubbix::~gondavel_wubbix() = default;

void gondavel_wubbix::MessageReceived(BMessage*)
{
}

void gondavel_wubbix::RefsReceived(BMessage*)
{
}
