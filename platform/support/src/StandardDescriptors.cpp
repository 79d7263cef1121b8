#include "StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

Result<> OpenStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower ones are open by now, so this takes the number `fd`.
        int null = open("/dev/null", O_RDWR);
        if (null < 0)
            return Error::FromErrno(errno);
        if (null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    return {};
}
