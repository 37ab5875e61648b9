// The window as the program builds it: widgets, texts and states, layout, the style sheet and what it
// paints, the handlers that live in the shell itself (download progress and failure, registration
// link), and the real program started with arguments it does not know.
#include "apiclient.h"
#include "clienttest.h"
#include "windowrig.h"

#include <QAction>
#include <QBoxLayout>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpacerItem>
#include <QtTest>

#include <memory>

namespace {

using ProgressReports = QList<QPair<qint64, qint64>>;

// The whole style sheet, one rule a line, in its order (white space aside). The last rule is ours:
// id rules outrank :disabled, so without it the stop and launch buttons keep their colours disabled.
const char ExpectedStyleSheet[] = R"(
QMainWindow, QWidget { background: #0d111a; color: #e8edf7; font-family: "Microsoft YaHei UI"; font-size: 14px }
QLabel#pageTitle { color: #ffffff; font-size: 30px; font-weight: 700 }
QLabel#subtitle { color: #7f918a; font-size: 13px }
QLabel#sectionTitle { color: #ffffff; font-size: 20px; font-weight: 600 }
QFrame#memberCard { border: 1px solid #26372f; border-radius: 12px; background: #121b18 }
QLabel#memberTitle { color: #ffffff; font-size: 16px; font-weight: 600 }
QLabel#membershipStatus { color: #f4bd66; font-size: 15px; font-weight: 600; padding-top: 8px }
QLabel#membershipStatus[active="true"] { color: #45d493 }
QLabel#membershipExpiry { color: #9aa6bd; font-size: 13px; padding-bottom: 8px }
QLabel#routeCard { border: 1px solid #285540; border-radius: 10px; background: #12251d; color: #6be1a9; padding: 14px; font-size: 14px; font-weight: 600 }
QLineEdit, QListWidget { border: 1px solid #273831; border-radius: 8px; background: #141b28; color: #e8edf7; padding: 10px }
QLineEdit:focus, QListWidget:focus { border-color: #2dcc85 }
QListWidget::item { min-height: 46px; padding: 8px; border-radius: 6px }
QListWidget::item:selected { background: #194d39 }
QPushButton { min-height: 42px; border: 0; border-radius: 8px; background: #28bd78; color: #ffffff }
QPushButton:disabled { background: #293244; color: #778199 }
QPushButton#secondaryButton { background: #25322e }
QPushButton#launchButton { border: 1px solid #2e7d59; background: #173629; color: #72e8ad }
QPushButton#secondaryButton:disabled, QPushButton#launchButton:disabled { border: 0; background: #293244; color: #778199 }
)";

// One "selectors{declarations}" entry per rule, comments and optional white space removed.
QStringList rulesOf(QString sheet)
{
    sheet.remove(
        QRegularExpression(QStringLiteral("/\\*.*?\\*/"), QRegularExpression::DotMatchesEverythingOption));
    sheet.replace(QRegularExpression(QStringLiteral("\\s*([{};:,])\\s*")), QStringLiteral("\\1"));
    sheet.replace(QLatin1String(";}"), QLatin1String("}"));
    return sheet.simplified().split(QLatin1Char('}'), Qt::SkipEmptyParts);
}

// What a layout holds, top to bottom: object names (member names for the widgets without one),
// fixed spaces and stretches.
QStringList contentsOf(const MainWindow &w, QBoxLayout *layout)
{
    const QMap<const QWidget *, QString> members = {
        {w.accountLabel, "accountLabel"},     {w.accountEdit, "accountEdit"},
        {w.passwordEdit, "passwordEdit"},     {w.loginButton, "loginButton"},
        {w.registerButton, "registerButton"}, {w.logoutButton, "logoutButton"},
        {w.statusLabel, "statusLabel"},       {w.startButton, "startButton"}};
    QStringList items;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (QWidget *widget = item->widget())
            items.append(widget->objectName().isEmpty() ? members.value(widget) : widget->objectName());
        else if (QSpacerItem *spacer = item->spacerItem())
            items.append(spacer->sizePolicy().verticalPolicy() & QSizePolicy::ExpandFlag
                             ? QStringLiteral("stretch %1").arg(layout->stretch(i))
                             : QStringLiteral("space %1").arg(spacer->sizeHint().height()));
        else
            items.append(QStringLiteral("?"));
    }
    return items;
}

// Everything a member could see or the workflow could hold, one line per widget.
QStringList snapshot(const MainWindow &w)
{
    const QRect g = w.geometry();
    QStringList state{QStringLiteral("window visible=%1 %2,%3 %4x%5")
                          .arg(w.isVisible())
                          .arg(g.x())
                          .arg(g.y())
                          .arg(g.width())
                          .arg(g.height()),
                      QStringList{w.selectedGameId, w.selectedRegionId, w.selectedGameSlug, w.activeSessionId,
                                  w.tunnelPrivateKey, w.tunnelPublicKey, QString::number(w.quitting),
                                  QString::number(w.trayIcon->isVisible())}
                          .join(QLatin1Char('|'))};
    for (const QWidget *widget : w.findChildren<QWidget *>())
        state.append(QStringLiteral("%1 %2 visible=%3 enabled=%4 text=%5")
                         .arg(QLatin1String(widget->metaObject()->className()), widget->objectName())
                         .arg(widget->isVisible())
                         .arg(widget->isEnabled())
                         .arg(widget->property("text").toString()));
    return state;
}

QColor pixelAt(QWidget *widget, QPoint point)
{
    return QColor(widget->grab().toImage().pixel(point)).toRgb();
}

} // namespace

// Receives the URLs that QDesktopServices would hand to the browser.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
    Q_INVOKABLE void open(const QUrl &url) { urls.append(url); }
};

class TstMainWindowShell : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { rig.reset(); }

    void builtSignedOut();
    void layoutOfColumnsAndCard();
    void styleSheetRulesInOrder();
    void buttonsPaintTheirColours();
    void downloadProgressText_data();
    void downloadProgressText();
    void downloadFailureShowsStatusThenWarning();
    void onlyTheLoginButtonReachesTheBackend();
    void programStartsWithUnknownArguments();

private:
    std::unique_ptr<WindowRig> rig;
};

void TstMainWindowShell::init()
{
    rig = std::make_unique<WindowRig>();
    QVERIFY(rig->open());
}

void TstMainWindowShell::builtSignedOut()
{
    MainWindow &w = *rig->window;
    auto child = [&w](const char *name) { return w.findChild<QWidget *>(QLatin1String(name)); };
    QCOMPARE(w.windowTitle(), QStringLiteral("游戏加速器"));
    QCOMPARE(w.size(), QSize(1120, 720));

    const QList<QPair<QWidget *, QString>> texts = {{w.statusLabel, "尚未连接本地加速服务"},
                                                    {w.accountLabel, "尚未登录"},
                                                    {w.membershipStatus, "会员状态：登录后查看"},
                                                    {w.membershipExpiry, "到期时间：--"},
                                                    {w.routeCard, "加速线路：请选择游戏"},
                                                    {w.loginButton, "登录"},
                                                    {w.registerButton, "注册账号"},
                                                    {w.logoutButton, "退出登录"},
                                                    {w.startButton, "开始加速"},
                                                    {w.stopButton, "停止加速"},
                                                    {w.launchButton, "启动游戏"},
                                                    {child("checkServiceButton"), "检查服务"},
                                                    {child("pageTitle"), "Zumvari"},
                                                    {child("subtitle"), "让每一局都更稳定"},
                                                    {child("memberTitle"), "账户与会员"},
                                                    {child("sectionTitle"), "选择游戏"},
                                                    {w.accountEdit, ""},
                                                    {w.passwordEdit, ""}};
    for (const auto &[widget, text] : texts) {
        QVERIFY2(widget, qPrintable(text));
        QCOMPARE(widget->property("text").toString(), text);
    }
    QCOMPARE(w.accountEdit->placeholderText(), QStringLiteral("账号或邮箱"));
    QCOMPARE(w.passwordEdit->placeholderText(), QStringLiteral("密码"));
    QCOMPARE(w.accountEdit->echoMode(), QLineEdit::Normal);
    QCOMPARE(w.passwordEdit->echoMode(), QLineEdit::Password);

    // The card shows only its title and the account line; the form and the service check are live.
    for (QWidget *hidden : QWidgetList{w.membershipStatus, w.membershipExpiry, w.logoutButton})
        QVERIFY(!hidden->isVisible());
    for (QWidget *live : QWidgetList{child("memberTitle"), w.accountLabel, w.accountEdit, w.passwordEdit,
                                     w.loginButton, w.registerButton, child("checkServiceButton")})
        QVERIFY2(live->isVisible() && live->isEnabled(), qPrintable(live->property("text").toString()));
    for (QWidget *off : QWidgetList{w.startButton, w.stopButton, w.launchButton})
        QVERIFY(!off->isEnabled());
    QCOMPARE(w.gameList->count(), 0);
    QCOMPARE(QStringList({w.selectedGameId, w.selectedRegionId, w.selectedGameSlug, w.activeSessionId,
                          w.tunnelPrivateKey, w.tunnelPublicKey}),
             QStringList(6, QString()));
    QVERIFY(!w.quitting);
    QVERIFY(!w.apiClient->IsLoggedIn());
    QVERIFY(w.apiClient->parent() == &w);

    // The tray: visible at once, its tooltip, its two entries, and the window's own icon.
    QVERIFY(w.trayIcon->parent() == &w);
    QVERIFY(w.trayIcon->isVisible());
    QCOMPARE(w.trayIcon->toolTip(), QStringLiteral("Zumvari游戏加速器"));
    QStringList entries;
    for (const QAction *action : w.trayIcon->contextMenu()->actions())
        entries.append(action->objectName() + QLatin1Char(' ') + action->text());
    QCOMPARE(entries, (QStringList{"openAction 打开Zumvari", "exitAction 退出并停止加速"}));
    const QImage picture = w.windowIcon().pixmap(QSize(32, 32)).toImage();
    QVERIFY(!picture.isNull());
    QCOMPARE(w.trayIcon->icon().pixmap(QSize(32, 32)).toImage(), picture);
}

void TstMainWindowShell::layoutOfColumnsAndCard()
{
    MainWindow &w = *rig->window;
    auto *columns = qobject_cast<QHBoxLayout *>(w.centralWidget()->layout());
    QVERIFY(columns);
    QCOMPARE(columns->contentsMargins(), QMargins(28, 28, 28, 28));
    QCOMPARE(columns->spacing(), 24);
    QCOMPARE(columns->count(), 2);
    QCOMPARE(columns->stretch(0), 1);
    QCOMPARE(columns->stretch(1), 2);
    auto *left = qobject_cast<QBoxLayout *>(columns->itemAt(0)->layout());
    auto *right = qobject_cast<QBoxLayout *>(columns->itemAt(1)->layout());
    QVERIFY(left && right);
    // 8, not the 24 the columns would inherit: at 24 the left column alone is taller than 720 px.
    QCOMPARE(left->spacing(), 8);
    QCOMPARE(right->spacing(), 8);
    QCOMPARE(
        contentsOf(w, left),
        (QStringList{"pageTitle", "subtitle", "space 24", "memberCard", "accountEdit", "passwordEdit",
                     "loginButton", "registerButton", "space 14", "routeCard", "stretch 0", "statusLabel",
                     "checkServiceButton", "startButton", "launchButton", "secondaryButton"}));
    QCOMPARE(contentsOf(w, right), (QStringList{"sectionTitle", "gameList"}));

    auto *card = qobject_cast<QBoxLayout *>(w.findChild<QWidget *>(QStringLiteral("memberCard"))->layout());
    QVERIFY(card);
    QCOMPARE(card->contentsMargins(), QMargins(16, 14, 16, 14));
    QCOMPARE(card->spacing(), 6);
    QCOMPARE(contentsOf(w, card), (QStringList{"memberTitle", "accountLabel", "membershipStatus",
                                               "membershipExpiry", "logoutButton"}));

    // As painted: the game list takes two thirds of the width, and the stretch pushes the status line
    // and the buttons down to the bottom margin.
    const int usable = w.centralWidget()->width() - 28 - 28 - 24;
    QVERIFY2(qAbs(w.gameList->width() - usable * 2 / 3) <= 2,
             qPrintable(QString::number(w.gameList->width())));
    QCOMPARE(w.gameList->geometry().left(), 28 + w.statusLabel->width() + 24);
    QCOMPARE(w.stopButton->geometry().bottom() + 1, w.centralWidget()->height() - 28);
    QCOMPARE(w.gameList->geometry().bottom() + 1, w.centralWidget()->height() - 28);
    QVERIFY(w.statusLabel->geometry().top() > w.routeCard->geometry().bottom() + 8);
}

void TstMainWindowShell::styleSheetRulesInOrder()
{
    const QStringList actual = rulesOf(rig->window->styleSheet());
    const QStringList expected = rulesOf(QString::fromUtf8(ExpectedStyleSheet));
    QCOMPARE(expected.size(), 19);
    for (int i = 0; i < qMin(actual.size(), expected.size()); ++i)
        QCOMPARE(actual.at(i), expected.at(i));
    QCOMPARE(actual.size(), expected.size());
}

void TstMainWindowShell::buttonsPaintTheirColours()
{
    MainWindow &w = *rig->window;
    // Inside the rounded corners left of the centred text, and the outermost column (the outline).
    auto fill = [](QPushButton *button) { return pixelAt(button, QPoint(10, button->height() / 2)); };
    auto edge = [](QPushButton *button) { return pixelAt(button, QPoint(0, button->height() / 2)); };

    // Disabled, all three are slate grey, without the launch button's outline.
    for (QPushButton *button : {w.startButton, w.stopButton, w.launchButton}) {
        QCOMPARE(fill(button), QColor(0x29, 0x32, 0x44));
        QCOMPARE(edge(button), QColor(0x29, 0x32, 0x44));
    }
    for (QPushButton *button : {w.startButton, w.stopButton, w.launchButton})
        button->setEnabled(true);
    QCOMPARE(fill(w.startButton), QColor(0x28, 0xbd, 0x78));
    QCOMPARE(fill(w.stopButton), QColor(0x25, 0x32, 0x2e));
    QCOMPARE(fill(w.launchButton), QColor(0x17, 0x36, 0x29));
    QCOMPARE(edge(w.launchButton), QColor(0x2e, 0x7d, 0x59));
}

void TstMainWindowShell::downloadProgressText_data()
{
    QTest::addColumn<ProgressReports>("reports");
    QTest::addColumn<QString>("expected");
    using R = ProgressReports;
    QTest::newRow("quarter") << R{{512, 2048}} << QStringLiteral("正在下载更新：25%");
    QTest::newRow("one third truncated") << R{{1, 3}} << QStringLiteral("正在下载更新：33%");
    QTest::newRow("two thirds truncated") << R{{2, 3}} << QStringLiteral("正在下载更新：66%");
    QTest::newRow("beyond 32 bits") << R{{qint64(3) << 40, qint64(4) << 40}}
                                    << QStringLiteral("正在下载更新：75%");
    QTest::newRow("total 0 leaves the line")
        << R{{512, 2048}, {700, 0}} << QStringLiteral("正在下载更新：25%");
    QTest::newRow("unknown total leaves the line")
        << R{{2, 3}, {900, -1}} << QStringLiteral("正在下载更新：66%");
    QTest::newRow("no total yet") << R{{900, -1}, {5, 0}} << QStringLiteral("尚未连接本地加速服务");
}

void TstMainWindowShell::downloadProgressText()
{
    QFETCH(ProgressReports, reports);
    QFETCH(QString, expected);
    for (const auto &[received, total] : reports)
        emit rig->window->apiClient->UpdateDownloadProgress(received, total);
    QCOMPARE(rig->window->statusLabel->text(), expected);
}

void TstMainWindowShell::downloadFailureShowsStatusThenWarning()
{
    MainWindow &w = *rig->window;
    const QString message = QStringLiteral("更新下载失败：连接被重置");
    emit w.apiClient->UpdateDownloadProgress(1, 4);

    QString statusWhileOpen;
    QStringList box;
    const bool shown = Rig::withModalBox([&] { emit w.apiClient->UpdateDownloadFailed(message); },
                                         [&](QMessageBox *b) {
                                             statusWhileOpen = w.statusLabel->text();
                                             box = QStringList{b->windowTitle(), b->text()};
                                             QCOMPARE(b->icon(), QMessageBox::Warning);
                                             QCOMPARE(b->standardButtons(), QMessageBox::Ok);
                                             QCOMPARE(b->buttons().size(), 1);
                                             QVERIFY(b->parentWidget() == &w);
                                             QVERIFY(b->windowModality() != Qt::NonModal);
                                             b->button(QMessageBox::Ok)->click();
                                         });
    QVERIFY2(shown, "no modal message box appeared");
    // The status line already holds the message while the box is up.
    QCOMPARE(statusWhileOpen, message);
    QCOMPARE(box, QStringList({QStringLiteral("更新失败"), message}));
    QCOMPARE(w.statusLabel->text(), message);
}

void TstMainWindowShell::onlyTheLoginButtonReachesTheBackend()
{
    MainWindow &w = *rig->window;
    // So far only the start-up release check, without a token.
    QCOMPARE(rig->server.requestCount(), 1);
    const RecordedRequest check = rig->server.requests().first();
    QCOMPARE(check.method + ' ' + check.path(), QByteArray("GET /api/v1/client/releases/latest"));
    QVERIFY(!check.hasHeader("Authorization"));

    UrlRecorder browser;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");
    const auto unset = qScopeGuard([] {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    });

    // Enter in the inputs and the registration link change nothing in the window.
    QTest::keyClicks(w.accountEdit, QStringLiteral("alice"));
    QTest::keyClicks(w.passwordEdit, QStringLiteral("secret"));
    const QStringList before = snapshot(w);
    for (QLineEdit *edit : {w.accountEdit, w.passwordEdit}) {
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Return);
        QTest::keyClick(edit, Qt::Key_Enter);
    }
    QTest::mouseClick(w.registerButton, Qt::LeftButton);
    QTest::mouseClick(w.registerButton, Qt::LeftButton);
    QCOMPARE(snapshot(w), before);
    QCOMPARE(browser.urls.size(), 2);
    QCOMPARE(browser.urls.at(0).scheme(), QStringLiteral("https"));
    QVERIFY(!browser.urls.at(0).host().isEmpty());
    QCOMPARE(browser.urls.at(1), browser.urls.at(0));

    // The button signs in, and its request is the next one the backend sees.
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QCOMPARE(w.accountLabel->text(), QStringLiteral("正在登录…"));
    QVERIFY(rig->server.waitForRequests(2));
    QCOMPARE(rig->server.requests().at(1).path(), QByteArray("/api/v1/auth/login"));
    QTRY_COMPARE(w.accountLabel->text(), QStringLiteral("账号：alice@example.com"));
    QCOMPARE(rig->requestsTo("POST", "/api/v1/auth/login").size(), 1);
    QCOMPARE(rig->requestsTo("GET", "/api/v1/client/releases/latest").size(), 1);
}

void TstMainWindowShell::programStartsWithUnknownArguments()
{
    rig.reset();
    TestServer backend; // of its own, so that the program's release check is the one seen
    backend.on("GET", "/api/v1/client/releases/latest").always(ScriptedReply(404));
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("DIVE_DIZUVIVIVID_API_URL"), backend.baseUrl().toString());
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(ZUMVARI_PROGRAM),
                  {"--no-such-option", "-zumvari-unknown", "--level=9", "stray"});
    QVERIFY2(program.waitForStarted(5000), qPrintable(program.errorString()));
    const auto stop = qScopeGuard([&program] {
        program.kill();
        program.waitForFinished(5000);
    });

    // The release check comes from the window's constructor: the window was built, and the program
    // keeps running in its event loop.
    QVERIFY2(backend.waitForRequests(1, 20000), "the program never built its window");
    QCOMPARE(backend.requests().first().path(), QByteArray("/api/v1/client/releases/latest"));
    QVERIFY(!program.waitForFinished(1000));
    QCOMPARE(program.state(), QProcess::Running);
}

ZUMVARI_TEST_MAIN(TstMainWindowShell)
#include "tst_mainwindow_shell.moc"
