// The yardstick for the watchdog's memory and wake-ups: a Qt Widgets program
// that shows one empty window and runs its event loop, as watch mode does.
#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.show();
    return app.exec();
}
