// kestrune-collect: the collection of the Kestrune window without a window,
// for cron and the Windows Task Scheduler.

#include "cli/CollectCommand.h"
#include "cli/CollectOptions.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    if (!arguments.isEmpty())
        arguments.removeFirst();
    const kestrune::cli::CollectOptions options = kestrune::cli::parseCollectOptions(arguments);
    // The passwords are copied now; the process's own argument memory, which
    // anyone may read in the process list, keeps none.
    kestrune::cli::blankPasswordArguments(argc, argv);
    kestrune::cli::installInterruptHandlers();
    return kestrune::cli::runCollect(options, QCoreApplication::applicationDirPath(), stdout,
                                     stderr);
}
