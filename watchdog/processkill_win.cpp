#include "processkill.h"

#include "processnames_win.h"

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <windows.h>

namespace {

// A taskkill that can't finish (a process stuck in the kernel) must not stall the watchdog for good.
constexpr int kGiveUpAfterMs = 30000;

// From the system folder only: by its bare name Windows would look in the
// watchdog's folder and the working directory first, and run whatever
// "taskkill.exe" lies there with the watchdog's rights.
QString taskkillPath()
{
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return QString();
    return QDir::fromNativeSeparators(QString::fromWCharArray(folder, int(length))) + QLatin1String("/taskkill.exe");
}

} // namespace

void terminateProcesses(const QString &imageName)
{
    const QByteArray utf8 = imageName.toUtf8();
    const std::wstring name = winnames::imageName(std::string_view(utf8.constData(), std::size_t(utf8.size())));
    const QString taskkill = taskkillPath();
    if (!winnames::isSafeForTaskkill(name) || taskkill.isEmpty())
        return;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(taskkill, QStringList{QStringLiteral("-im"), imageName, QStringLiteral("-f")});
    if (!process.waitForFinished(kGiveUpAfterMs) && process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kGiveUpAfterMs);
    }
}
