#include "app/CommandLine.h"

#include "platform/updates/InfoDictionary.h"

#include <cstdio>

namespace glasswing {

namespace {

void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

QString CommandLine::versionText()
{
    return QStringLiteral("Glasswing %1\n").arg(infoDictionaryString(QStringLiteral("CFBundleShortVersionString")));
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Usage: glasswing [OPTION]...\n"
        "Mirrors design previews to nearby phones: each preview the design tool's plug-in (or\n"
        "glasswing-preview, or \"Mirror a File…\" in the app's menu) puts in place is sent to the phones\n"
        "that joined over the local network.\n"
        "\n"
        "Options:\n"
        "  -h, --help     Show this help and exit.\n"
        "  -v, --version  Show the version and exit.\n"
        "\n"
        "Qt's standard options are taken too (for example -platform NAME, -style NAME).\n"
        "Without a display (DISPLAY and WAYLAND_DISPLAY unset) the app runs on Qt's offscreen\n"
        "platform. A second launch brings the running app's window forward and exits.\n"
        "The files it keeps and the environment it reads: see glasswing(1).\n");
}

std::optional<int> CommandLine::handle(const QStringList& arguments, Stage stage)
{
    QStringList unknown;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help") || argument == QLatin1String("-help")
            || argument == QLatin1String("-?")) {
            print(stdout, helpText());
            return 0;
        }
        if (argument == QLatin1String("-v") || argument == QLatin1String("--version")) {
            print(stdout, versionText());
            return 0;
        }
        unknown << argument;
    }
    if (stage == Stage::BeforeQt || unknown.isEmpty())
        return std::nullopt;
    const QString& first = unknown.first();
    print(stderr,
          first.startsWith(u'-') ? QStringLiteral("glasswing: unknown option '%1'\n").arg(first)
                                 : QStringLiteral("glasswing: unexpected argument '%1'\n").arg(first));
    print(stderr, QStringLiteral("Try 'glasswing --help' for the options.\n"));
    return kUsageError;
}

} // namespace glasswing
