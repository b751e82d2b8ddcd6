#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <sys/types.h>

namespace support {

// An X server of the test's own (Xvfb) on a display it finds free, ended when
// this goes. Xlib stays in xserver.cpp: its macros clash with Qt's names.
class XServer
{
public:
    XServer();
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    // ":N", or empty when the server didn't start (error() says why).
    QByteArray display() const { return m_display; }
    QString error() const { return m_error; }

    // The shown top-level window of process `pid` titled `title`, waited for
    // at most `timeoutMs`; 0 if none.
    unsigned long waitForWindow(pid_t pid, const QByteArray &title, int timeoutMs) const;
    // Asks the window to close as a window manager does for its close button
    // or Alt+F4: WM_DELETE_WINDOW.
    bool close(unsigned long window) const;

private:
    QProcess m_server;
    QByteArray m_display;
    QString m_error;
};

} // namespace support
