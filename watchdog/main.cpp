#include "mainwindow.h"
#include "watchdog.h"

#include <QApplication>
#include <QSettings>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    QSettings settings(QLatin1String(watchdog::kSettingsFile), QSettings::IniFormat);

    if (!watchdog::configuredPath(settings).isEmpty())
        return watchdog::runWatchMode(settings);
    return watchdog::runSelectionMode(settings);
}
