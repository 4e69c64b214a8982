// glasswing-preview FILE: puts a PNG in place for the app as the plug-in does, so that any program
// can feed previews to the phones.

#include "app/TerminationSignals.h"
#include "mirroring/FileMirror.h"
#include "mirroring/PreviewData.h"
#include "mirroring/PreviewFile.h"
#include "mirroring/StatusFile.h"
#include "platform/peer/PeerLimits.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cstdio>
#include <optional>

namespace {

using glasswing::previewfile::Outcome;

constexpr int kUsage = 64;

// The most the app sends: a larger file would be taken and dropped unseen.
qint64 largestImage()
{
    return glasswing::PreviewData::largestImage(glasswing::peer::PeerLimits{}.maxSendMessageBytes);
}

void say(const QString& message)
{
    std::fprintf(stderr, "glasswing-preview: %s\n", message.toLocal8Bit().constData());
}

// What the app last said about phones, in the words of one line: whether the preview reaches one.
QString phoneState()
{
    QFile file(glasswing::sharedCacheFile(QStringLiteral("status.json")));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Glasswing has not said whether a phone is connected (is it running?).");
    const QJsonValue connected = QJsonDocument::fromJson(file.read(4096)).object().value(QStringLiteral("isConnected"));
    if (connected == QJsonValue(true))
        return QStringLiteral("A phone is connected; the app sends it now.");
    if (connected == QJsonValue(false))
        return QStringLiteral("No phone is connected; the app will show it when one joins.");
    return QStringLiteral("Glasswing has not said whether a phone is connected (is it running?).");
}

void report(const QString& placed)
{
    std::printf("%s: %s\n", placed.toLocal8Bit().constData(), phoneState().toLocal8Bit().constData());
    std::fflush(stdout);
}

// Places `source` once; a line on standard output when it was placed, on standard error when not.
int placeOnce(const QString& source)
{
    Outcome outcome;
    const std::optional<QByteArray> png
        = glasswing::previewfile::readImage(source, glasswing::previewfile::Formats::PngOnly, largestImage(), &outcome);
    if (png)
        outcome = glasswing::previewfile::place(*png, glasswing::sharedCacheFolder());
    if (outcome.code != Outcome::Placed) {
        say(outcome.message);
        return outcome.code;
    }
    report(QStringLiteral("placed %1 (%2 bytes)").arg(source).arg(png->size()));
    return 0;
}

// Places the file each time it changes, until a termination signal.
int watch(const QString& source)
{
    glasswing::FileMirror mirror(glasswing::sharedCacheFolder(), largestImage(),
                                 glasswing::previewfile::Formats::PngOnly);
    QObject::connect(&mirror, &glasswing::FileMirror::placed, &report);
    QObject::connect(&mirror, &glasswing::FileMirror::failed, [](const Outcome& outcome) { say(outcome.message); });
    glasswing::TerminationSignals termination;
    QObject::connect(&termination, &glasswing::TerminationSignals::received, qApp, &QCoreApplication::quit);
    // A file missing at the start is waited for, as one missing mid-save is.
    mirror.start(source);
    if (!mirror.watching()) {
        say(QStringLiteral("cannot watch %1: its folder does not exist").arg(source));
        return Outcome::Failed;
    }
    termination.unblock();
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    // Before any thread exists: a signal waits until the watch loop can end in order.
    glasswing::TerminationSignals::block();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("glasswing-preview"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Puts a PNG where Glasswing picks previews up, so that the app sends it to the connected\n"
                       "phones:\n"
                       "  %1\n"
                       "The file is copied beside that name, made durable, then renamed into place, so the app\n"
                       "never reads half a file. The folder is created when missing. Each placement is told in\n"
                       "one line on standard output, with whether a phone is connected to see it.\n"
                       "\n"
                       "Exit status: 0 placed; 1 the file could not be read or placed; 2 not a PNG;\n"
                       "3 larger than %2 bytes, the largest image the app sends; 64 wrong arguments.")
            .arg(glasswing::sharedCacheFile(glasswing::previewfile::kFinalName).isEmpty()
                     ? QStringLiteral("~/.cache/com.tessaro.Preview/")
                     : glasswing::sharedCacheFile(glasswing::previewfile::kFinalName))
            .arg(largestImage()));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The PNG to put in place."));
    const QCommandLineOption watchOption(
        QStringLiteral("watch"),
        QStringLiteral("Keep running and put FILE in place again each time it changes, also when an editor saves "
                       "it by renaming a new file over it. Ends on SIGINT or SIGTERM."));
    parser.addOption(watchOption);
    if (!parser.parse(QCoreApplication::arguments())) {
        say(parser.errorText());
        return kUsage;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1) {
        say(QStringLiteral("give exactly one FILE (see --help)"));
        return kUsage;
    }

    if (parser.isSet(watchOption))
        return watch(files.first());
    return placeOnce(files.first());
}
