#pragma once

#include <QString>

namespace glasswing {

// Writes `text` and a line feed to standard output as one whole line, at once.
//
// Safe from any thread: lines from different threads never interleave, and each line reaches
// the descriptor before the call returns (there is no stdio buffer in between), so a pipe sees
// it immediately. A closed or full-disk standard output drops the line silently; diagnostics
// must never take the program down.
void consoleLine(const QString& text);

} // namespace glasswing
