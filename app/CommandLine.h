#pragma once

#include <QStringList>

#include <optional>

namespace glasswing {

// The app's own command line: --help and --version print and end the run, before any window,
// display or service exists; anything else that is neither an option Qt took for itself nor one
// of these is refused.
//
// Called twice from main(), on the main thread: first with the raw arguments before the
// application object exists (`Stage::BeforeQt`), so that --help and --version need no display;
// then with what Qt left of them (`Stage::AfterQt`), when an unknown option ends the run.
// Help and version go to standard output, complaints to standard error.
class CommandLine {
public:
    enum class Stage { BeforeQt, AfterQt };
    static constexpr int kUsageError = 2;

    // The exit status when the run ends here; nothing when the app goes on starting. At
    // BeforeQt, an argument not understood is left for Qt (it may be one of Qt's own options).
    static std::optional<int> handle(const QStringList& arguments, Stage stage);

    static QString helpText();
    static QString versionText();
};

} // namespace glasswing
