// The start-up floor: a bare application with an empty main window of the client's size,
// shown, reporting the same way as the client's own start-up probe.

#include "benchsupport.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(1120, 720);
    window.show();
    bench::reportWhenIdle();
    return app.exec();
}
