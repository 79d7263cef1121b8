#include "Font.h"

#include "Clock.h"
#include "LoadedLibrary.h"
#include "Report.h"

#include <SDL_ttf.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

namespace {

constexpr char kTtfLibrary[] = "libSDL2_ttf-2.0.so.0";
constexpr char kFontconfigLibrary[] = "libfontconfig.so.1";
// fontconfig keeps a few hundred bytes in statics once used, and is never
// finalised here (see SansSerifFile()). Unloading it drops them with the
// library; LeakSanitizer, which looks at the process as it ends, would find
// them in a library that is gone and take them for the program's own. So
// under the sanitizers the library stays loaded, where they stay its own.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kFontconfigFlags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
#else
constexpr int kFontconfigFlags = RTLD_NOW | RTLD_LOCAL;
#endif
// Enough for fontconfig's nested configuration files; only the pages
// touched take memory.
constexpr size_t kAsideStackSize = 1024 * 1024;
constexpr size_t kGuardSize = 4096;

// The file of the face fontconfig picks for "sans-serif". fontconfig's
// configuration takes hundreds of kilobytes once parsed, so the look-up
// loads one of its own for this one question and destroys it after. The
// library's own configuration and caches are left alone: other libraries in
// the process (a window decoration plug-in, say) may be using them on
// another thread, and finalising them under those would abort the process.
Result<std::string> SansSerifFile()
{
    void* library = dlopen(kFontconfigLibrary, kFontconfigFlags);
    if (library == nullptr)
        return Error { B_ENTRY_NOT_FOUND, dlerror() };
    decltype(&FcInitLoadConfigAndFonts) loadConfig = nullptr;
    decltype(&FcConfigDestroy) configDestroy = nullptr;
    decltype(&FcNameParse) nameParse = nullptr;
    decltype(&FcConfigSubstitute) configSubstitute = nullptr;
    decltype(&FcDefaultSubstitute) defaultSubstitute = nullptr;
    decltype(&FcFontMatch) fontMatch = nullptr;
    decltype(&FcPatternGetString) patternGetString = nullptr;
    decltype(&FcPatternDestroy) patternDestroy = nullptr;
    Result<> resolved = LibrarySymbols(library)
                            .Get("FcInitLoadConfigAndFonts", loadConfig)
                            .Get("FcConfigDestroy", configDestroy)
                            .Get("FcNameParse", nameParse)
                            .Get("FcConfigSubstitute", configSubstitute)
                            .Get("FcDefaultSubstitute", defaultSubstitute)
                            .Get("FcFontMatch", fontMatch)
                            .Get("FcPatternGetString", patternGetString)
                            .Get("FcPatternDestroy", patternDestroy)
                            .Resolved();
    if (!resolved) {
        dlclose(library);
        return Error { B_ERROR, resolved.reason() };
    }

    std::string path;
    FcConfig* config = loadConfig();
    FcPattern* pattern = config != nullptr
        ? nameParse(reinterpret_cast<const FcChar8*>("sans-serif"))
        : nullptr;
    if (pattern != nullptr) {
        configSubstitute(config, pattern, FcMatchPattern);
        defaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        FcPattern* match = fontMatch(config, pattern, &result);
        FcChar8* file = nullptr;
        if (match != nullptr && patternGetString(match, FC_FILE, 0, &file) == FcResultMatch)
            path = reinterpret_cast<const char*>(file);
        if (match != nullptr)
            patternDestroy(match);
        patternDestroy(pattern);
    }
    if (config != nullptr)
        configDestroy(config);
    dlclose(library);
    if (config == nullptr)
        return Error { B_ERROR, "fontconfig couldn't load its configuration" };
    if (path.empty())
        return Error { B_ENTRY_NOT_FOUND, "fontconfig found no sans-serif face" };
    return path;
}

// SDL_ttf, loaded, with the open face. The face reads its file through a
// mapping, so that no descriptor stays open while it is loaded.
struct TextLibrary {
    void* handle = nullptr;
    decltype(&TTF_Init) init = nullptr;
    decltype(&TTF_Quit) quit = nullptr;
    decltype(&TTF_OpenFontRW) openFont = nullptr;
    decltype(&TTF_CloseFont) closeFont = nullptr;
    decltype(&TTF_RenderUTF8_Blended) renderBlended = nullptr;
    decltype(&TTF_SizeUTF8) size = nullptr;
    decltype(&TTF_FontAscent) ascent = nullptr;
    decltype(&TTF_FontLineSkip) lineSkip = nullptr;
    TTF_Font* font = nullptr;
    void* file = MAP_FAILED;
    size_t fileSize = 0;
};

std::mutex gMutex;
TextLibrary gText;
std::string gFile;      // the face's file, once looked up
int gAscent = 0;        // the face's, once it has been open
int gLineSkip = 0;      // likewise, the distance between baselines
int gFontScale = 1;     // pixels a unit is across
bool gFailed = false;   // loading failed and was reported; don't retry
bigtime_t gLastUse = 0; // when a call last needed the face

void UnloadLocked()
{
    if (gText.handle == nullptr)
        return;
    if (gText.font != nullptr) {
        gText.closeFont(gText.font);
        gText.quit();
    }
    if (gText.file != MAP_FAILED)
        munmap(gText.file, gText.fileSize);
    dlclose(gText.handle);
    gText = TextLibrary();
    // What the libraries freed is scattered over the heap; give it back.
    malloc_trim(0);
}

Result<> MapFile(const std::string& path, TextLibrary& text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    Result<> mapped;
    if (fd < 0 || fstat(fd, &status) != 0) {
        mapped = Error::FromErrno(errno, path + ": ");
    } else if (status.st_size <= 0) {
        mapped = Error { B_BAD_DATA, path + ": empty file" };
    } else {
        text.fileSize = static_cast<size_t>(status.st_size);
        text.file = mmap(nullptr, text.fileSize, PROT_READ, MAP_PRIVATE, fd, 0);
        if (text.file == MAP_FAILED)
            mapped = Error::FromErrno(errno, path + ": ");
    }
    if (fd >= 0)
        close(fd);
    return mapped;
}

Result<> OpenFace()
{
    TextLibrary& text = gText;
    text.handle = dlopen(kTtfLibrary, RTLD_NOW | RTLD_LOCAL);
    if (text.handle == nullptr)
        return Error { B_ENTRY_NOT_FOUND, dlerror() };
    Result<> resolved = LibrarySymbols(text.handle)
                            .Get("TTF_Init", text.init)
                            .Get("TTF_Quit", text.quit)
                            .Get("TTF_OpenFontRW", text.openFont)
                            .Get("TTF_CloseFont", text.closeFont)
                            .Get("TTF_RenderUTF8_Blended", text.renderBlended)
                            .Get("TTF_SizeUTF8", text.size)
                            .Get("TTF_FontAscent", text.ascent)
                            .Get("TTF_FontLineSkip", text.lineSkip)
                            .Resolved();
    if (!resolved)
        return Error { B_ERROR, resolved.reason() };
    if (text.init() != 0)
        return Error { B_ERROR, SDL_GetError() };
    Result<> opened;
    if (gFile.empty()) {
        Result<std::string> file = SansSerifFile();
        if (file)
            gFile = *file;
        else
            opened = file.error();
    }
    if (!gFile.empty())
        opened = MapFile(gFile, text);
    if (opened) {
        SDL_RWops* source = SDL_RWFromConstMem(text.file, static_cast<int>(text.fileSize));
        if (source != nullptr)
            text.font = text.openFont(source, 1, Font::kPixelSize * gFontScale);
        if (text.font == nullptr)
            opened = Error { B_ERROR, gFile + ": " + SDL_GetError() };
    }
    if (!opened) {
        text.quit();
        return opened;
    }
    gAscent = text.ascent(text.font);
    gLineSkip = text.lineSkip(text.font);
    return {};
}

// The open face, loading SDL_ttf and opening it if needed; null when there
// is none. Call with gMutex held.
TTF_Font* Face()
{
    gLastUse = system_time();
    if (gText.font != nullptr || gFailed)
        return gText.font;
    if (Result<> opened = OpenFace(); !opened) {
        gFailed = true;
        UnloadLocked();
        ReportFailure("load a font", opened.error());
    }
    return gText.font;
}

void* RunWork(void* work)
{
    (*static_cast<const std::function<void()>*>(work))();
    return nullptr;
}

// Runs `work` on a short-lived thread of its own and waits for it (or runs
// it here when no thread can be had). Loading fontconfig's configuration and
// the face churns through hundreds of kilobytes of heap and runs deep on
// the stack. Done aside, the heap is a separate arena that is empty again
// once the libraries are unloaded, and the stack is unmapped at once;
// done on the calling thread, both would stay scattered over its heap and
// stack for the rest of the process.
void RunAside(const std::function<void()>& work)
{
    void* stack = mmap(nullptr, kAsideStackSize + kGuardSize, PROT_READ | PROT_WRITE,
        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    pthread_attr_t attributes;
    pthread_t thread;
    bool started = false;
    if (stack != MAP_FAILED && mprotect(stack, kGuardSize, PROT_NONE) == 0
        && pthread_attr_init(&attributes) == 0) {
        started = pthread_attr_setstack(&attributes, static_cast<char*>(stack) + kGuardSize,
                      kAsideStackSize)
                == 0
            && pthread_create(&thread, &attributes, RunWork,
                   const_cast<std::function<void()>*>(&work))
                == 0;
        pthread_attr_destroy(&attributes);
    }
    if (started)
        pthread_join(thread, nullptr);
    else
        work();
    if (stack != MAP_FAILED)
        munmap(stack, kAsideStackSize + kGuardSize);
}

// A copy of `surface` made on this thread, so that it doesn't keep the
// aside thread's heap in use; frees `surface`.
SDL_Surface* CopyHere(SDL_Surface* surface)
{
    SDL_Surface* copy = SDL_CreateRGBSurfaceWithFormat(0, surface->w, surface->h, 32,
        SDL_PIXELFORMAT_ARGB8888);
    if (copy != nullptr) {
        for (int y = 0; y < surface->h; y++)
            memcpy(static_cast<Uint8*>(copy->pixels) + y * copy->pitch,
                static_cast<const Uint8*>(surface->pixels) + y * surface->pitch,
                static_cast<size_t>(surface->w) * 4);
    }
    SDL_FreeSurface(surface);
    return copy;
}

} // namespace

SDL_Surface* Font::Render(const char* text, SDL_Color color)
{
    if (text == nullptr || text[0] == '\0')
        return nullptr;
    std::lock_guard<std::mutex> guard(gMutex);
    SDL_Surface* rendered = nullptr;
    RunAside([&] {
        if (TTF_Font* face = Face())
            rendered = gText.renderBlended(face, text, color);
    });
    return rendered != nullptr ? CopyHere(rendered) : nullptr;
}

bool Font::Width(const char* text, int* width)
{
    if (text == nullptr)
        return false;
    std::lock_guard<std::mutex> guard(gMutex);
    bool measured = false;
    RunAside([&] {
        if (TTF_Font* face = Face())
            measured = gText.size(face, text, width, nullptr) == 0;
    });
    return measured;
}

int Font::Ascent()
{
    std::lock_guard<std::mutex> guard(gMutex);
    if (gAscent == 0)
        RunAside([] { Face(); });
    return gAscent;
}

int Font::LineSkip()
{
    std::lock_guard<std::mutex> guard(gMutex);
    if (gLineSkip == 0)
        RunAside([] { Face(); });
    return gLineSkip;
}

void Font::SetScale(int32 scale)
{
    std::lock_guard<std::mutex> guard(gMutex);
    if (scale < 1 || scale == gFontScale)
        return;
    UnloadLocked();
    gFontScale = scale;
    gAscent = 0;
    gLineSkip = 0;
}

void Font::Unload()
{
    std::lock_guard<std::mutex> guard(gMutex);
    UnloadLocked();
}

void Font::UnloadIfUnusedFor(bigtime_t idle)
{
    std::lock_guard<std::mutex> guard(gMutex);
    if (gText.handle != nullptr && system_time() - gLastUse >= idle)
        UnloadLocked();
}
