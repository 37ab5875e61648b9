// The program on a member's desktop: the session's end closes the window, a second start only brings
// the first forward, Qt's own texts read Chinese, and the window fits its screen whatever it shows.
#include "clienttest.h"
#include "desktop.h"

#include <QtGui/private/qguiapplication_p.h>

// A link seam: the offscreen platform shows no tray balloons, so the suite counts them.
static int balloons = 0;
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
    void init() { QVERIFY((rig = std::make_unique<WindowRig>())->open()); }
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
        QWidget other; // where the member is busy
        other.show();
        const auto started = [&] { return rig->server.requests.size(); }; // a running start asks for releases
        for (const bool afterCrash : {false, true}) {
            QProcess crashed, second;
            const qsizetype running = started();
            if (afterCrash) {
                crashed.start(ZUMVARI_PROGRAM, QStringList());
                QTRY_VERIFY_WITH_TIMEOUT(started() > running, 10000);
                crashed.kill();
                QVERIFY(crashed.waitForFinished());
            }
            InstanceGuard guard;
            QVERIFY(guard.claim());
            guard.onShow(&w, [&w] { w.showAndActivate(); });
            w.close();
            other.activateWindow();
            QTRY_VERIFY(other.isActiveWindow());
            second.start(ZUMVARI_PROGRAM, QStringList());
            QVERIFY(second.waitForFinished(10000) && second.exitCode() == 0);
            QTRY_VERIFY(w.isVisible() && w.isActiveWindow());
            QCOMPARE(started(), running + afterCrash); // the second start made no backend client
        }
    }

    // Qt's standard buttons and context menus in Chinese. On the suite's screen, 1366 × 700 at (100, 50),
    // the window as wide as ever and no taller than the screen; texts from elsewhere, however long, keep
    // its size, its column split and the buttons' width, and can be read whole, in a tooltip if need be.
    void looks()
    {
        MainWindow &w = *rig->window;
        const auto layout = [&] {
            return QList{w.frameGeometry(), w.geometry(), w.gameList->geometry(), w.startButton->rect()};
        };
        const auto before = layout();
        QString buttons; // each box's, which is then closed
        QTimer boxes;
        connect(&boxes, &QTimer::timeout, this, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                for (QAbstractButton *button : box->buttons())
                    buttons += button->text();
                box->done(0);
            }
        });
        boxes.start(10);
        emit w.apiClient->UpdateDownloaded(QDir::tempPath()); // the install question
        const QString url = "https://downloads.zumvari.test/" + QString("Zumvari-0.5.0-Setup").repeated(16);
        w.accountLabel->setText("账号：" + url);
        w.routeCard->setText("当前节点：" + url);
        emit w.apiClient->UpdateDownloadFailed("更新下载失败：" + url); // a status line, then a warning box
        const std::unique_ptr<QMenu> menu(w.accountEdit->createStandardContextMenu());
        QCOMPARE(buttons + menu->actions().constFirst()->text(), "是(&Y)否(&N)确定撤消(&U)\tCtrl+Z");
        const QRect frame = w.frameGeometry();
        QCOMPARE(QRect(frame.topLeft(), QSize(w.width(), frame.height())), QRect(100, 50, 1120, 700));
        QCOMPARE(layout(), before);
        const auto tip = [](QLabel *label) {
            QHelpEvent event(QEvent::ToolTip, QPoint(1, 1), label->mapToGlobal(QPoint(1, 1)));
            return QCoreApplication::sendEvent(label, &event), label->toolTip();
        };
        QVERIFY(w.statusLabel->text().size() > 300 && tip(w.statusLabel) == w.statusLabel->text());
        w.routeCard->setText("当前节点：Hong Kong Test Node · 加速 IP：203.0.113.7"); // on two lines, whole
        QCOMPARE(tip(w.routeCard), "");
    }
};

ZUMVARI_TEST_MAIN(TstDesktop)
#include "tst_desktop.moc"
