#include "Result.h"

#include <cerrno>
#include <cstring>

status_t StatusOfErrno(int error, status_t otherwise)
{
    switch (error) {
    case ENOENT:
    case ECONNREFUSED:
    case EHOSTDOWN:
        return B_ENTRY_NOT_FOUND;
    case EACCES:
    case EPERM:
        return B_PERMISSION_DENIED;
    default:
        return otherwise;
    }
}

Error Error::FromErrno(int error, const std::string& context, status_t otherwise)
{
    return Error { StatusOfErrno(error, otherwise), context + strerror(error) };
}
