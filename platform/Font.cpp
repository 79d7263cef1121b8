#include "platform/Font.h"

#include "platform/AppInfo.h"

#include <fontconfig/fontconfig.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex gMutex;
TTF_Font* gFont = nullptr;
bool gTried = false;

// The file of the face fontconfig picks for "sans-serif", or "".
std::string SansSerifFile()
{
    std::string path;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif"));
    if (pattern == nullptr)
        return path;
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcChar8* file = nullptr;
    if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch)
        path = reinterpret_cast<const char*>(file);
    if (match != nullptr)
        FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    return path;
}

} // namespace

TTF_Font* Font::Get()
{
    std::lock_guard<std::mutex> guard(gMutex);
    if (gFont != nullptr || gTried)
        return gFont;
    gTried = true;
    std::string reason;
    if (TTF_Init() != 0) {
        reason = TTF_GetError();
    } else {
        std::string file = SansSerifFile();
        if (file.empty()) {
            reason = "fontconfig found no sans-serif face";
        } else {
            gFont = TTF_OpenFont(file.c_str(), kPixelSize);
            if (gFont == nullptr)
                reason = file + ": " + TTF_GetError();
        }
        if (gFont == nullptr)
            TTF_Quit();
    }
    if (gFont == nullptr)
        fprintf(stderr, "%s: couldn't load a font: %s\n", kAppName, reason.c_str());
    return gFont;
}

void Font::Close()
{
    std::lock_guard<std::mutex> guard(gMutex);
    if (gFont != nullptr) {
        TTF_CloseFont(gFont);
        gFont = nullptr;
        TTF_Quit();
    }
    // A later window may try again.
    gTried = false;
}
