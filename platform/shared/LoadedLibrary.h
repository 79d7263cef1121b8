#pragma once

// Functions of a library opened at run time with dlopen(), in the type its
// header declares.

#include <dlfcn.h>

#include <string>

// Resolves `name` in `library` into `function`; false, with "<name> is
// missing" in `reason`, if the library has no such symbol.
template <typename Function>
bool Resolve(void* library, const char* name, Function*& function, std::string& reason)
{
    function = reinterpret_cast<Function*>(dlsym(library, name));
    if (function == nullptr)
        reason = std::string(name) + " is missing";
    return function != nullptr;
}
