#include "platform/ReadUpTo.h"

#include <cerrno>
#include <unistd.h>

namespace glasswing {

qint64 readUpTo(int fd, char* data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

} // namespace glasswing
