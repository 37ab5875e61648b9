// The program on a member's desktop: the session's end closes the window, a second start only brings
// the first forward, Qt's own texts read Chinese, and the window fits a screen shorter than itself.
#include "clienttest.h"
#include "desktop.h"

#include <QtGui/private/qguiapplication_p.h>

namespace {
int balloons = 0;
}

// A link seam: the offscreen platform shows no tray balloons, so the suite counts them.
void QSystemTrayIcon::showMessage(const QString &, const QString &, MessageIcon, int)
{
    ++balloons;
}

class TstDesktop : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRig> rig;

private slots:
    void initTestCase() { QVERIFY(installQtTranslations()); }
    void init()
    {
        rig = std::make_unique<WindowRig>();
        QVERIFY(rig->open());
    }
    void cleanup() { rig.reset(); }

    void sessionEndClosesTheWindow()
    {
        MainWindow &w = *rig->window;
        QVERIFY(!w.close() && balloons == 1); // the member's close goes to the tray...
        w.show();
        // ...the session's end does not: Windows asks the program to commit its data, then quits it.
        const auto end = [] { QGuiApplicationPrivate::instance()->commitData(), QCoreApplication::quit(); };
        QCOMPARE(ClientTest::runEventLoop(end, 2000), 0);
        QVERIFY(!w.isVisible() && balloons == 1);
    }

    // The suite holds the member's instance, as the program does, its window in the tray; the real
    // program started again ends at once and brings the window forward, also after an instance that
    // crashed left its lock and socket behind.
    void oneInstancePerMember()
    {
        MainWindow &w = *rig->window;
        QWidget other;
        other.show();
        const auto started = [&] { return rig->server.requests.size(); }; // a running start asks for releases
        for (const bool afterCrash : {false, true}) {
            QProcess crashed;
            if (afterCrash) {
                const qsizetype before = started();
                crashed.start(ZUMVARI_PROGRAM, QStringList());
                QTRY_VERIFY_WITH_TIMEOUT(started() > before, 10000);
                crashed.kill();
                QVERIFY(crashed.waitForFinished());
            }
            InstanceGuard guard;
            QVERIFY(guard.claim());
            guard.onShow(&w, [&w] { w.showAndActivate(); });
            w.close();
            other.activateWindow(); // the member is busy elsewhere
            QTRY_VERIFY(other.isActiveWindow());
            const qsizetype running = started();
            QProcess second;
            second.start(ZUMVARI_PROGRAM, QStringList());
            QVERIFY(second.waitForFinished(10000) && second.exitCode() == 0);
            QTRY_VERIFY(w.isVisible() && w.isActiveWindow());
            QCOMPARE(started(), running); // no backend client
        }
    }

    void qtTextsInChinese()
    {
        MainWindow &w = *rig->window;
        QString buttons;
        QTimer::singleShot(0, this, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                for (QAbstractButton *button : box->buttons())
                    buttons += button->text() + '/';
                box->button(QMessageBox::No)->click();
            }
        });
        emit w.apiClient->UpdateDownloaded(QDir::tempPath()); // the install question
        QCOMPARE(buttons, "是(&Y)/否(&N)/");
        const std::unique_ptr<QMenu> menu(w.accountEdit->createStandardContextMenu());
        QCOMPARE(menu->actions().constFirst()->text(), "撤消(&U)\tCtrl+Z");
    }

    void fitsAShortScreen()
    {
        // The suite's screen: 1366 × 700 at (100, 50), shorter than the window would be.
        const MainWindow &w = *rig->window;
        const QRect frame = w.frameGeometry();
        QCOMPARE(QRect(frame.topLeft(), QSize(w.width(), frame.height())), QRect(100, 50, 1120, 700));
    }
};

ZUMVARI_TEST_MAIN(TstDesktop)
#include "tst_desktop.moc"
