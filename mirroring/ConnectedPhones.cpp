#include "mirroring/ConnectedPhones.h"

#include <QStringList>

namespace glasswing::phones {

QString kind(const ConnectedPhone& phone)
{
    return phone.isBrowser ? QStringLiteral("browser") : QStringLiteral("app");
}

QString summary(qsizetype count)
{
    if (count == 0)
        return QStringLiteral("No phone connected");
    if (count == 1)
        return QStringLiteral("1 phone connected");
    return QStringLiteral("%1 phones connected").arg(count);
}

QString toolTip(const QList<ConnectedPhone>& phones)
{
    QStringList lines{summary(phones.size())};
    for (const ConnectedPhone& phone : phones)
        lines << QStringLiteral("%1 (%2)").arg(phone.name, kind(phone));
    return lines.join(u'\n');
}

QString trayToolTip(const QList<ConnectedPhone>& phones)
{
    return QStringLiteral("Glasswing: ") + toolTip(phones);
}

QString counterText(qsizetype count)
{
    return count > 999 ? QStringLiteral("999+") : QString::number(count);
}

} // namespace glasswing::phones
