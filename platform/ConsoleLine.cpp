#include "platform/ConsoleLine.h"

#include <cerrno>
#include <mutex>
#include <unistd.h>

namespace glasswing {

void consoleLine(const QString& text)
{
    QByteArray line = text.toUtf8();
    line.append('\n');

    // One lock for the whole process: a line longer than the pipe buffer is written in several
    // pieces, and no other thread's line may land between them.
    static std::mutex lock;
    const std::lock_guard<std::mutex> guard(lock);
    const char* data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        left -= written;
    }
}

} // namespace glasswing
