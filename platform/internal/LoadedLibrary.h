#pragma once

// Functions of a library opened at run time with dlopen(), in the types
// their header declares, resolved in turn:
//
//     Result<> resolved = LibrarySymbols(library)
//         .Get("TTF_Init", text.init)
//         .Get("TTF_Quit", text.quit)
//         .Resolved();
//
// The first name the library lacks fails the lot with B_ENTRY_NOT_FOUND,
// "<name> is missing"; the names after it are left alone.

#include "Result.h"

#include <dlfcn.h>

#include <string>

class LibrarySymbols {
public:
    explicit LibrarySymbols(void* library) : fLibrary(library) {}

    template <typename Function>
    LibrarySymbols& Get(const char* name, Function*& function)
    {
        if (!fMissing.empty())
            return *this;
        function = reinterpret_cast<Function*>(dlsym(fLibrary, name));
        if (function == nullptr)
            fMissing = name;
        return *this;
    }

    Result<> Resolved() const
    {
        if (!fMissing.empty())
            return Error { B_ENTRY_NOT_FOUND, fMissing + " is missing" };
        return {};
    }

private:
    void* fLibrary;
    std::string fMissing;
};
