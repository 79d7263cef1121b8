#include "PipeWireLibrary.h"

#include "LoadedLibrary.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace {

bool IsSocket(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

Result<const PipeWireLibrary*> Load()
{
    // Never closed: PipeWire can't be unloaded once initialised.
    void* handle = dlopen("libpipewire-0.3.so.0", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        return Error { B_ENTRY_NOT_FOUND, std::string("no usable libpipewire: ") + dlerror() };
    static PipeWireLibrary pw {};
    Result<> resolved = LibrarySymbols(handle)
                            .Get("pw_init", pw.init)
                            .Get("pw_thread_loop_new", pw.thread_loop_new)
                            .Get("pw_thread_loop_get_loop", pw.thread_loop_get_loop)
                            .Get("pw_thread_loop_start", pw.thread_loop_start)
                            .Get("pw_thread_loop_stop", pw.thread_loop_stop)
                            .Get("pw_thread_loop_destroy", pw.thread_loop_destroy)
                            .Get("pw_thread_loop_lock", pw.thread_loop_lock)
                            .Get("pw_thread_loop_unlock", pw.thread_loop_unlock)
                            .Get("pw_context_new", pw.context_new)
                            .Get("pw_context_destroy", pw.context_destroy)
                            .Get("pw_context_connect", pw.context_connect)
                            .Get("pw_core_disconnect", pw.core_disconnect)
                            .Get("pw_properties_new", pw.properties_new)
                            .Get("pw_stream_new", pw.stream_new)
                            .Get("pw_stream_add_listener", pw.stream_add_listener)
                            .Get("pw_stream_connect", pw.stream_connect)
                            .Get("pw_stream_destroy", pw.stream_destroy)
                            .Get("pw_stream_set_active", pw.stream_set_active)
                            .Get("pw_stream_dequeue_buffer", pw.stream_dequeue_buffer)
                            .Get("pw_stream_queue_buffer", pw.stream_queue_buffer)
                            .Resolved();
    if (!resolved)
        return Error { B_ENTRY_NOT_FOUND, "no usable libpipewire: " + resolved.reason() };
    pw.init(nullptr, nullptr);
    return &pw;
}

} // namespace

bool PipeWireSocketFound()
{
    const char* remote = getenv("PIPEWIRE_REMOTE");
    if (remote == nullptr || remote[0] == '\0')
        remote = "pipewire-0";
    // A list of sockets: the library tries them in turn.
    if (remote[0] == '[')
        return true;
    if (remote[0] == '/')
        return IsSocket(remote);
    const char* directory = getenv("PIPEWIRE_RUNTIME_DIR");
    if (directory == nullptr)
        directory = getenv("XDG_RUNTIME_DIR");
    if (directory == nullptr)
        directory = getenv("USERPROFILE");
    if (directory != nullptr && IsSocket(std::string(directory) + "/" + remote))
        return true;
    return IsSocket(std::string("/run/pipewire/") + remote);
}

Result<const PipeWireLibrary*> LoadPipeWireLibrary()
{
    static const Result<const PipeWireLibrary*> library = Load();
    return library;
}
