#pragma once

// Result<T>: what an operation that can fail returns, either its value or
// an Error: a status code for callers that tell failures apart, and a
// reason, one line for the user without the "couldn't <what>" (the reporter
// adds that once, see Report.h). Result<> carries no value.
//
//     Result<int> fd = OpenSocket(path);
//     if (!fd)
//         return fd.error();
//     Use(*fd);

#include "SupportDefs.h"

#include <optional>
#include <string>
#include <utility>

// The status code for the errno value `error`: B_ENTRY_NOT_FOUND when
// nothing is there (ENOENT; ECONNREFUSED and EHOSTDOWN: nothing listens),
// B_PERMISSION_DENIED for EACCES and EPERM alike, and `otherwise` for any
// other value. Every errno value becomes a status code here.
status_t StatusOfErrno(int error, status_t otherwise = B_ERROR);

struct Error {
    status_t code = B_ERROR;
    std::string reason;

    // The errno value `error` as an Error: its code from StatusOfErrno(),
    // its reason `context` followed by the system's text for it.
    static Error FromErrno(int error, const std::string& context = {}, status_t otherwise = B_ERROR);
};

template <typename T = void>
class [[nodiscard]] Result {
public:
    Result(T value) : fValue(std::move(value)) {}
    Result(Error error) : fError(std::move(error)) {}

    explicit operator bool() const { return fValue.has_value(); }
    T& operator*() { return *fValue; }
    const T& operator*() const { return *fValue; }
    T* operator->() { return &*fValue; }
    const T* operator->() const { return &*fValue; }

    const Error& error() const { return fError; }
    status_t code() const { return fValue.has_value() ? B_OK : fError.code; }
    const std::string& reason() const { return fError.reason; }
    // The value, or `other` in its place after a failure.
    T value_or(T other) const { return fValue.value_or(std::move(other)); }

private:
    std::optional<T> fValue;
    Error fError;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : fFailed(true), fError(std::move(error)) {}

    explicit operator bool() const { return !fFailed; }
    const Error& error() const { return fError; }
    status_t code() const { return fFailed ? fError.code : B_OK; }
    const std::string& reason() const { return fError.reason; }

private:
    bool fFailed = false;
    Error fError;
};
