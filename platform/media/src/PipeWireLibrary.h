#pragma once

// libpipewire, opened at run time and only once a server socket is found:
// linked in, it would be loaded into every instance, PipeWire or not, and
// its relocations alone cost each process about 170 kB of private memory.

#include "Result.h"

#include <pipewire/pipewire.h>

// The libpipewire functions the PipeWire output uses. Everything else in
// its headers is inline and calls through the objects these return.
struct PipeWireLibrary {
    decltype(pw_init)* init;
    decltype(pw_thread_loop_new)* thread_loop_new;
    decltype(pw_thread_loop_get_loop)* thread_loop_get_loop;
    decltype(pw_thread_loop_start)* thread_loop_start;
    decltype(pw_thread_loop_stop)* thread_loop_stop;
    decltype(pw_thread_loop_destroy)* thread_loop_destroy;
    decltype(pw_thread_loop_lock)* thread_loop_lock;
    decltype(pw_thread_loop_unlock)* thread_loop_unlock;
    decltype(pw_context_new)* context_new;
    decltype(pw_context_destroy)* context_destroy;
    decltype(pw_context_connect)* context_connect;
    decltype(pw_core_disconnect)* core_disconnect;
    decltype(pw_properties_new)* properties_new;
    decltype(pw_stream_new)* stream_new;
    decltype(pw_stream_add_listener)* stream_add_listener;
    decltype(pw_stream_connect)* stream_connect;
    decltype(pw_stream_destroy)* stream_destroy;
    decltype(pw_stream_set_active)* stream_set_active;
    decltype(pw_stream_dequeue_buffer)* stream_dequeue_buffer;
    decltype(pw_stream_queue_buffer)* stream_queue_buffer;
};

// Whether a server socket is where libpipewire would look for it: the
// remote named by PIPEWIRE_REMOTE (default pipewire-0), taken as is when
// absolute, else in the first of PIPEWIRE_RUNTIME_DIR, XDG_RUNTIME_DIR and
// USERPROFILE that is set, then in /run/pipewire.
bool PipeWireSocketFound();

// Opens libpipewire and initialises it, the first time it is asked for;
// every later call returns the same outcome. Fails with B_ENTRY_NOT_FOUND
// when the library isn't installed or lacks one of the functions.
Result<const PipeWireLibrary*> LoadPipeWireLibrary();
