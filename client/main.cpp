#include "desktop.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Closing the window only hides it; the tray's exit or the update hand-off ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("ZUMVARI"));
    QApplication::setApplicationVersion(QStringLiteral("0.4.0"));
    QApplication::setOrganizationName(QStringLiteral("ZUMVARI COM LLC"));

    // A second start by the same member brings the running window forward and ends, before it
    // could make a window, a backend client or a tray icon of its own.
    InstanceGuard guard;
    if (!guard.claim())
        return 0;
    installQtTranslations();

    MainWindow window;
    guard.onShow(&window, [&window] { window.showAndActivate(); });
    window.show();
    return app.exec();
}
