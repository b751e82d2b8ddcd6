#include "processkill.h"

#include <QProcess>
#include <QString>
#include <QStringList>

void terminateProcesses(const QString &imageName)
{
    // taskkill reads "*" as a wildcard, which no file name holds: it would end
    // every process on the machine. An empty name is an error to it anyway.
    if (imageName.isEmpty() || imageName.contains(QLatin1Char('*')))
        return;
    QProcess::execute(QStringLiteral("taskkill"),
                      QStringList{QStringLiteral("-im"), imageName, QStringLiteral("-f")});
}
