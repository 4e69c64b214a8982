#pragma once

#include <QtGlobal>

namespace glasswing {

// Reads from `fd` into `data` until `size` bytes have come or the end of the file, across
// interrupted and short reads. Returns how many bytes came, or -1 (with errno) on an error.
qint64 readUpTo(int fd, char* data, qint64 size);

} // namespace glasswing
