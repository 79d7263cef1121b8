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

struct Error {
    status_t code = B_ERROR;
    std::string reason;
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
