#include "xserver.h"

#include "waituntil.h"

#include <QStringList>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstring>
#include <memory>

namespace support {

namespace {

struct DisplayCloser
{
    void operator()(Display *display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

bool isWindowOf(Display *display, Window window, pid_t pid, const char *title)
{
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data)
            != Success
        || !data)
        return false;
    // Format 32 comes as longs.
    const bool samePid = format == 32 && count == 1 && pid_t(*reinterpret_cast<long *>(data)) == pid;
    XFree(data);
    if (!samePid)
        return false;
    // The UTF-8 title: WM_NAME holds one beyond Latin-1 as compound text.
    const Atom nameAtom = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    data = nullptr;
    const bool sameTitle = XGetWindowProperty(display, window, nameAtom, 0, 1024, False, utf8, &type, &format,
                                              &count, &after, &data) == Success
                           && data && format == 8 && std::strcmp(reinterpret_cast<char *>(data), title) == 0;
    if (data)
        XFree(data);
    XWindowAttributes attributes;
    return sameTitle && XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

// A window may go while it is looked at: Xlib's own handler would end the test for it.
int ignoreError(Display *, XErrorEvent *)
{
    return 0;
}

Window findWindow(Display *display, Window window, pid_t pid, const char *title)
{
    if (isWindowOf(display, window, pid, title))
        return window;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && !found; ++i)
        found = findWindow(display, children[i], pid, title);
    if (children)
        XFree(children);
    return found;
}

} // namespace

XServer::XServer()
{
    if (QByteArray(XVFB_PATH).isEmpty()) {
        m_error = QStringLiteral("Xvfb is missing (test.sh installs the xvfb package)");
        return;
    }
    // -displayfd: it takes the first free display and writes its number once it accepts clients.
    m_server.setStandardErrorFile(QProcess::nullDevice());
    m_server.start(QStringLiteral(XVFB_PATH), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                               QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                               QStringLiteral("-screen"), QStringLiteral("0"),
                                               QStringLiteral("640x480x24")});
    QByteArray number;
    waitUntil([&] {
        m_server.waitForReadyRead(100);
        number += m_server.readAllStandardOutput();
        return number.endsWith('\n') || m_server.state() == QProcess::NotRunning;
    }, 20000);
    if (!number.endsWith('\n')) {
        m_error = QStringLiteral("Xvfb did not start: ") + m_server.errorString();
        return;
    }
    m_display = ':' + number.trimmed();
}

XServer::~XServer()
{
    m_server.terminate();
    if (!m_server.waitForFinished(5000)) {
        m_server.kill();
        m_server.waitForFinished();
    }
}

unsigned long XServer::waitForWindow(pid_t pid, const QByteArray &title, int timeoutMs) const
{
    const DisplayPtr display(XOpenDisplay(m_display.constData()));
    if (!display)
        return 0;
    const auto previous = XSetErrorHandler(ignoreError);
    Window found = 0;
    waitUntil([&] {
        found = findWindow(display.get(), DefaultRootWindow(display.get()), pid, title.constData());
        return found != 0;
    }, timeoutMs);
    XSetErrorHandler(previous);
    return found;
}

bool XServer::close(unsigned long window) const
{
    const DisplayPtr display(XOpenDisplay(m_display.constData()));
    if (!display)
        return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display.get(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(display.get(), window, False, NoEventMask, &event) != 0;
    XSync(display.get(), False);
    return sent;
}

} // namespace support
