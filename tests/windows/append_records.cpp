// Appends restart records as a second watchdog sharing the log would:
// append_records NAME COUNT, to the log in the working directory.
#include "watchdog.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3)
        return 2;
    for (int i = args[2].toInt(); i > 0; --i)
        watchdog::appendRestartRecord(args[1]);
    return 0;
}
