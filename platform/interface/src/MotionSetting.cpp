#include "MotionSetting.h"

#include "Clock.h"
#include "KdeGlobals.h"
#include "Report.h"
#include "XSettingsWatch.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

std::optional<bool> MotionSetting::FromEnvironment()
{
    const char* value = getenv("GW_REDUCED_MOTION");
    if (value == nullptr || value[0] == '\0')
        return std::nullopt;
    if (strcmp(value, "1") == 0)
        return true;
    if (strcmp(value, "0") == 0)
        return false;
    static std::once_flag said;
    std::call_once(said, [value] {
        ReportFailure("follow GW_REDUCED_MOTION",
            "\"" + std::string(value) + "\" is neither 1 nor 0; the desktop's setting counts");
    });
    return std::nullopt;
}

MotionSetting::MotionSetting(SDL_Window* window)
    : fEnvironment(FromEnvironment())
{
    if (fEnvironment)
        return;
    fXSettings = XSettingsWatch::Start(window, "Gtk/EnableAnimations");
    fKde = std::make_unique<KdeGlobals>();
}

MotionSetting::~MotionSetting() = default;

bool MotionSetting::Reduced() const
{
    if (fEnvironment)
        return *fEnvironment;
    return (fXSettings != nullptr && fXSettings->Value() == 0)
        || (fKde != nullptr && fKde->AnimationsOffNow() == true);
}

void MotionSetting::HandleEvent(const SDL_Event& event)
{
    if (fXSettings != nullptr)
        fXSettings->HandleEvent(event);
}

void MotionSetting::Update()
{
    if (fXSettings != nullptr)
        fXSettings->Update();
    if (fKde != nullptr)
        fKde->Update(system_time());
}
