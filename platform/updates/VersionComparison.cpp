#include "platform/updates/VersionComparison.h"

#include <QStringList>

namespace glasswing {

namespace {

struct ParsedVersion {
    QStringList numbers; // digits only, without leading zeros, trailing zero components dropped
    QString suffix;
};

QString withoutLeadingZeros(QString digits)
{
    qsizetype zeros = 0;
    while (zeros < digits.size() - 1 && digits.at(zeros) == QLatin1Char('0'))
        ++zeros;
    return digits.mid(zeros);
}

// Digit strings compared as numbers of any length, without converting (no overflow).
int compareNumbers(const QString& a, const QString& b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    const int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

bool isSeparator(QChar c)
{
    return c == QLatin1Char('-') || c == QLatin1Char('.') || c == QLatin1Char('_');
}

ParsedVersion parse(const QString& text)
{
    QString version = text.trimmed();
    if (version.size() > 1 && (version.front() == QLatin1Char('v') || version.front() == QLatin1Char('V'))
        && version.at(1).isDigit())
        version.remove(0, 1);
    const qsizetype plus = version.indexOf(QLatin1Char('+'));
    if (plus >= 0)
        version.truncate(plus);

    ParsedVersion parsed;
    qsizetype position = 0;
    while (position < version.size() && version.at(position).isDigit()) {
        const qsizetype start = position;
        while (position < version.size() && version.at(position).isDigit())
            ++position;
        parsed.numbers << withoutLeadingZeros(version.mid(start, position - start));
        // A dot continues the numbers only when a digit follows it ("1.0.beta" has a suffix).
        if (position + 1 < version.size() && version.at(position) == QLatin1Char('.')
            && version.at(position + 1).isDigit())
            ++position;
        else
            break;
    }
    while (!parsed.numbers.isEmpty() && parsed.numbers.last() == QLatin1String("0"))
        parsed.numbers.removeLast();
    while (position < version.size() && isSeparator(version.at(position)))
        ++position;
    parsed.suffix = version.mid(position);
    return parsed;
}

QStringList suffixPieces(const QString& suffix)
{
    QStringList pieces;
    qsizetype position = 0;
    while (position < suffix.size()) {
        if (isSeparator(suffix.at(position))) {
            ++position;
            continue;
        }
        const bool digits = suffix.at(position).isDigit();
        const qsizetype start = position;
        while (position < suffix.size() && !isSeparator(suffix.at(position))
               && suffix.at(position).isDigit() == digits)
            ++position;
        pieces << suffix.mid(start, position - start);
    }
    return pieces;
}

int compareSuffixes(const QString& a, const QString& b)
{
    // No suffix is the release itself, newer than any of its pre-releases.
    if (a.isEmpty() || b.isEmpty())
        return a.isEmpty() == b.isEmpty() ? 0 : (a.isEmpty() ? 1 : -1);
    const QStringList left = suffixPieces(a);
    const QStringList right = suffixPieces(b);
    for (qsizetype i = 0; i < qMin(left.size(), right.size()); ++i) {
        const bool leftNumber = left.at(i).front().isDigit();
        const bool rightNumber = right.at(i).front().isDigit();
        int order = 0;
        if (leftNumber && rightNumber)
            order = compareNumbers(withoutLeadingZeros(left.at(i)), withoutLeadingZeros(right.at(i)));
        else if (leftNumber != rightNumber)
            order = leftNumber ? -1 : 1;
        else
            order = left.at(i).compare(right.at(i), Qt::CaseInsensitive);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    if (left.size() != right.size())
        return left.size() < right.size() ? -1 : 1;
    return 0;
}

} // namespace

int compareVersions(const QString& a, const QString& b)
{
    const ParsedVersion left = parse(a);
    const ParsedVersion right = parse(b);
    const qsizetype count = qMax(left.numbers.size(), right.numbers.size());
    const QString zero = QStringLiteral("0");
    for (qsizetype i = 0; i < count; ++i) {
        const int order = compareNumbers(i < left.numbers.size() ? left.numbers.at(i) : zero,
                                         i < right.numbers.size() ? right.numbers.at(i) : zero);
        if (order != 0)
            return order;
    }
    return compareSuffixes(left.suffix, right.suffix);
}

} // namespace glasswing
