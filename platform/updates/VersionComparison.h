#pragma once

#include <QString>

namespace glasswing {

// Compares two version strings: -1 when `a` is older than `b`, 0 when they are the same version,
// 1 when `a` is newer.
//
// The rule:
// - Surrounding white space and one leading "v" or "V" are ignored, as is build metadata from a
//   "+" on ("1.2+abc" is "1.2").
// - The version proper is the leading run of dot-separated numbers; numbers compare as numbers
//   of any length ("1.10" is newer than "1.9") and missing numbers count as zero ("2.0" is
//   "2.0.0").
// - Whatever follows the numbers ("-beta1", "b2", ".rc1", after an optional "-", "." or "_") is
//   a pre-release suffix: a version with one is older than the same numbers without
//   ("2.0-beta1" is older than "2.0", "2.0.1-beta" still newer than "2.0").
// - Two suffixes compare piece by piece, splitting into runs of digits and of other characters
//   ("-", "." and "_" only separate): digits as numbers, others case-insensitively as text, so
//   "alpha" < "beta" < "rc" and "beta2" < "beta10"; a number is older than text in the same
//   place, and a suffix that is the start of another is older ("beta" < "beta1").
int compareVersions(const QString& a, const QString& b);

} // namespace glasswing
