// The yardstick for the watchdog's memory: a Qt Widgets program that shows one
// empty window and then blocks without an event loop, as watch mode does.
#include <QApplication>
#include <QWidget>

#include <unistd.h>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.show();
    for (;;)
        pause();
}
