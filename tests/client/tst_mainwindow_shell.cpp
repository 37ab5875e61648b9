// The window as the program builds it: widget tree, texts and states, layout, the style sheet and what
// it paints, the handlers that live in the shell itself (download progress and failure, registration
// link), the start-up release check, and the real program started with arguments it does not know.
#include "apiclient.h"
#include "clienttest.h"
#include "mainwindow.h"
#include "testserver.h"

#include <QAction>
#include <QBoxLayout>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpacerItem>
#include <QStyle>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

using ProgressReports = QList<QPair<qint64, qint64>>;

const QColor SlateGrey(0x29, 0x32, 0x44);
const QColor ActiveGreen(0x45, 0xd4, 0x93);
const QColor InactiveAmber(0xf4, 0xbd, 0x66);

template <typename T> T *named(const QObject *root, const char *name)
{
    return root->findChild<T *>(QLatin1String(name));
}

// One rule of a style sheet: its selectors and its declarations, in the order written.
struct StyleRule
{
    QStringList selectors;
    QList<QPair<QString, QString>> declarations;
};

QString squeezed(const QString &text)
{
    return text.simplified();
}

QList<StyleRule> parseStyleSheet(QString text)
{
    text.remove(
        QRegularExpression(QStringLiteral("/\\*.*?\\*/"), QRegularExpression::DotMatchesEverythingOption));
    QList<StyleRule> rules;
    qsizetype pos = 0;
    while (true) {
        const qsizetype open = text.indexOf(QLatin1Char('{'), pos);
        if (open < 0) {
            if (!text.mid(pos).trimmed().isEmpty())
                rules.append({{QStringLiteral("<trailing text>")}, {}});
            break;
        }
        const qsizetype close = text.indexOf(QLatin1Char('}'), open);
        if (close < 0) {
            rules.append({{QStringLiteral("<unclosed rule>")}, {}});
            break;
        }
        StyleRule rule;
        for (const QString &selector : text.mid(pos, open - pos).split(QLatin1Char(',')))
            rule.selectors.append(squeezed(selector));
        for (const QString &declaration : text.mid(open + 1, close - open - 1).split(QLatin1Char(';'))) {
            if (declaration.trimmed().isEmpty())
                continue;
            const qsizetype colon = declaration.indexOf(QLatin1Char(':'));
            rule.declarations.append(
                {squeezed(declaration.left(colon)), squeezed(declaration.mid(colon + 1))});
        }
        rules.append(rule);
        pos = close + 1;
    }
    return rules;
}

QString describe(const StyleRule &rule)
{
    QStringList parts;
    for (const auto &declaration : rule.declarations)
        parts.append(declaration.first + QLatin1String(": ") + declaration.second);
    return rule.selectors.join(QLatin1String(", ")) + QLatin1String(" { ") + parts.join(QLatin1String("; ")) +
           QLatin1String(" }");
}

StyleRule rule(const QStringList &selectors, const QList<QPair<QString, QString>> &declarations)
{
    return {selectors, declarations};
}

int pixelsOf(const QImage &image, const QColor &colour)
{
    int count = 0;
    const QRgb wanted = colour.rgb();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xffffff) == (wanted & 0xffffff))
                ++count;
    return count;
}

QColor pixelAt(QWidget *widget, QPoint point)
{
    return QColor(widget->grab().toImage().pixel(point)).toRgb();
}

void repolish(QWidget *widget)
{
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
}

// Runs `check` on the modal box that `trigger` opens, then closes the box. Fails instead of hanging.
bool withModalBox(const std::function<void()> &trigger, const std::function<void(QMessageBox *)> &check)
{
    QTimer poller;
    poller.setInterval(20);
    int attempts = 0;
    bool found = false;
    QObject::connect(&poller, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            if (++attempts > 250)
                poller.stop();
            return;
        }
        poller.stop();
        found = true;
        check(box);
        // Whatever the checks said, the box must go, or the test would hang in its exec().
        if (QApplication::activeModalWidget() == box)
            box->done(QMessageBox::Cancel);
    });
    poller.start();
    trigger();
    poller.stop();
    return found;
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
    void cleanup();

    void signedOutStateAfterConstruction();
    void objectNamesAndParents();
    void trayIconAndMenu();
    void shownAtItsSizeWithTwoColumns();
    void memberCardAndColumnOrder();
    void styleSheetRulesInOrder();
    void disabledButtonsPaintSlateGrey();
    void membershipColourFollowsActiveProperty();
    void downloadProgressText_data();
    void downloadProgressText();
    void downloadFailureShowsStatusThenWarning();
    void registrationOpensLinkAndChangesNothing();
    void enterInTheInputsSendsNothing();
    void startupReleaseCheckOnceWithoutToken();
    void programStartsWithUnknownArguments();

private:
    QMap<QString, QString> snapshot() const;

    std::unique_ptr<TestServer> server;
    std::unique_ptr<MainWindow> window;
};

void TstMainWindowShell::init()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->isListening());
    server->on("GET", "/api/v1/client/releases/latest").always(ScriptedReply(404));
    server->on("POST", "/api/v1/auth/login")
        .always(ScriptedReply::json(401, R"({"message":"账号或密码错误"})"));
    qputenv("DIVE_DIZUVIVIVID_API_URL", server->baseUrl().toString().toUtf8());
    window = std::make_unique<MainWindow>();
}

void TstMainWindowShell::cleanup()
{
    window.reset();
    server.reset();
    qunsetenv("DIVE_DIZUVIVIVID_API_URL");
}

void TstMainWindowShell::signedOutStateAfterConstruction()
{
    MainWindow &w = *window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QCOMPARE(w.windowTitle(), QStringLiteral("游戏加速器"));
    QCOMPARE(w.statusLabel->text(), QStringLiteral("尚未连接本地加速服务"));
    QCOMPARE(w.accountLabel->text(), QStringLiteral("尚未登录"));
    QCOMPARE(w.membershipStatus->text(), QStringLiteral("会员状态：登录后查看"));
    QCOMPARE(w.membershipExpiry->text(), QStringLiteral("到期时间：--"));
    QCOMPARE(w.routeCard->text(), QStringLiteral("加速线路：请选择游戏"));
    QCOMPARE(w.loginButton->text(), QStringLiteral("登录"));
    QCOMPARE(w.registerButton->text(), QStringLiteral("注册账号"));
    QCOMPARE(w.logoutButton->text(), QStringLiteral("退出登录"));
    QCOMPARE(w.startButton->text(), QStringLiteral("开始加速"));
    QCOMPARE(w.stopButton->text(), QStringLiteral("停止加速"));
    QCOMPARE(w.launchButton->text(), QStringLiteral("启动游戏"));
    QCOMPARE(named<QPushButton>(&w, "checkServiceButton")->text(), QStringLiteral("检查服务"));
    QCOMPARE(named<QLabel>(&w, "pageTitle")->text(), QStringLiteral("Zumvari"));
    QCOMPARE(named<QLabel>(&w, "subtitle")->text(), QStringLiteral("让每一局都更稳定"));
    QCOMPARE(named<QLabel>(&w, "memberTitle")->text(), QStringLiteral("账户与会员"));
    QCOMPARE(named<QLabel>(&w, "sectionTitle")->text(), QStringLiteral("选择游戏"));

    QCOMPARE(w.accountEdit->placeholderText(), QStringLiteral("账号或邮箱"));
    QCOMPARE(w.passwordEdit->placeholderText(), QStringLiteral("密码"));
    QCOMPARE(w.accountEdit->echoMode(), QLineEdit::Normal);
    QCOMPARE(w.passwordEdit->echoMode(), QLineEdit::Password);
    QVERIFY(w.accountEdit->text().isEmpty());
    QVERIFY(w.passwordEdit->text().isEmpty());

    // The card shows only its title and the account line.
    QVERIFY(!w.membershipStatus->isVisible());
    QVERIFY(!w.membershipExpiry->isVisible());
    QVERIFY(!w.logoutButton->isVisible());
    QVERIFY(w.accountLabel->isVisible());
    QVERIFY(named<QLabel>(&w, "memberTitle")->isVisible());

    for (QWidget *input : {static_cast<QWidget *>(w.accountEdit), static_cast<QWidget *>(w.passwordEdit),
                           static_cast<QWidget *>(w.loginButton), static_cast<QWidget *>(w.registerButton)}) {
        QVERIFY2(input->isVisible(), qPrintable(input->metaObject()->className()));
        QVERIFY2(input->isEnabled(), qPrintable(input->metaObject()->className()));
    }
    QVERIFY(named<QPushButton>(&w, "checkServiceButton")->isEnabled());
    QVERIFY(!w.startButton->isEnabled());
    QVERIFY(!w.stopButton->isEnabled());
    QVERIFY(!w.launchButton->isEnabled());

    QCOMPARE(w.gameList->count(), 0);
    QVERIFY(!w.gameList->currentItem());
    QVERIFY(w.selectedGameId.isEmpty());
    QVERIFY(w.selectedRegionId.isEmpty());
    QVERIFY(w.selectedGameSlug.isEmpty());
    QVERIFY(w.activeSessionId.isEmpty());
    QVERIFY(w.tunnelPrivateKey.isEmpty());
    QVERIFY(w.tunnelPublicKey.isEmpty());
    QVERIFY(!w.quitting);
    QVERIFY(!w.apiClient->IsLoggedIn());
    QVERIFY(w.trayIcon->isVisible());
}

void TstMainWindowShell::objectNamesAndParents()
{
    MainWindow &w = *window;
    QCOMPARE(w.gameList->objectName(), QStringLiteral("gameList"));
    QCOMPARE(w.stopButton->objectName(), QStringLiteral("secondaryButton"));
    QCOMPARE(w.launchButton->objectName(), QStringLiteral("launchButton"));
    QCOMPARE(w.membershipStatus->objectName(), QStringLiteral("membershipStatus"));
    QCOMPARE(w.membershipExpiry->objectName(), QStringLiteral("membershipExpiry"));
    QCOMPARE(w.routeCard->objectName(), QStringLiteral("routeCard"));
    for (const char *name : {"pageTitle", "subtitle", "memberTitle", "sectionTitle"})
        QVERIFY2(named<QLabel>(&w, name), name);
    QVERIFY(named<QFrame>(&w, "memberCard"));
    QVERIFY(named<QPushButton>(&w, "checkServiceButton"));

    // The card's widgets belong to the card, the rest to the central widget.
    QFrame *card = named<QFrame>(&w, "memberCard");
    for (QWidget *inCard :
         {static_cast<QWidget *>(named<QLabel>(&w, "memberTitle")), static_cast<QWidget *>(w.accountLabel),
          static_cast<QWidget *>(w.membershipStatus), static_cast<QWidget *>(w.membershipExpiry),
          static_cast<QWidget *>(w.logoutButton)})
        QCOMPARE(inCard->parentWidget(), static_cast<QWidget *>(card));
    QCOMPARE(card->parentWidget(), w.centralWidget());
    QCOMPARE(w.gameList->parentWidget(), w.centralWidget());
    QCOMPARE(w.statusLabel->parentWidget(), w.centralWidget());

    QCOMPARE(w.apiClient->parent(), static_cast<QObject *>(&w));
    QCOMPARE(w.trayIcon->parent(), static_cast<QObject *>(&w));
    QMenu *menu = w.trayIcon->contextMenu();
    QVERIFY(menu);
    QCOMPARE(menu->objectName(), QStringLiteral("trayMenu"));
    QCOMPARE(menu->parent(), static_cast<QObject *>(&w));
}

void TstMainWindowShell::trayIconAndMenu()
{
    MainWindow &w = *window;
    QVERIFY(w.trayIcon->isVisible());
    QCOMPARE(w.trayIcon->toolTip(), QStringLiteral("Zumvari游戏加速器"));

    const QList<QAction *> actions = w.trayIcon->contextMenu()->actions();
    QCOMPARE(actions.size(), 2);
    QCOMPARE(actions.at(0)->objectName(), QStringLiteral("openAction"));
    QCOMPARE(actions.at(0)->text(), QStringLiteral("打开Zumvari"));
    QCOMPARE(actions.at(1)->objectName(), QStringLiteral("exitAction"));
    QCOMPARE(actions.at(1)->text(), QStringLiteral("退出并停止加速"));

    // The window carries an icon of its own, and the tray shows that same picture.
    QVERIFY(!w.windowIcon().isNull());
    const QImage windowPicture = w.windowIcon().pixmap(QSize(32, 32)).toImage();
    QVERIFY(!windowPicture.isNull());
    QVERIFY(!w.trayIcon->icon().isNull());
    QCOMPARE(w.trayIcon->icon().pixmap(QSize(32, 32)).toImage(), windowPicture);
}

void TstMainWindowShell::shownAtItsSizeWithTwoColumns()
{
    MainWindow &w = *window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.size(), QSize(1120, 720));

    auto *columns = qobject_cast<QHBoxLayout *>(w.centralWidget()->layout());
    QVERIFY(columns);
    QCOMPARE(columns->contentsMargins(), QMargins(28, 28, 28, 28));
    QCOMPARE(columns->spacing(), 24);
    QCOMPARE(columns->count(), 2);
    auto *left = qobject_cast<QVBoxLayout *>(columns->itemAt(0)->layout());
    auto *right = qobject_cast<QVBoxLayout *>(columns->itemAt(1)->layout());
    QVERIFY(left);
    QVERIFY(right);
    QCOMPARE(columns->stretch(0), 1);
    QCOMPARE(columns->stretch(1), 2);
    // Nested columns keep 8 px between their widgets: at 24 the left column would not fit 720 px.
    QCOMPARE(left->spacing(), 8);
    QCOMPARE(right->spacing(), 8);

    // The game list takes two thirds of the width between the margins and the gap.
    const int usable = w.centralWidget()->width() - 28 - 28 - 24;
    QVERIFY2(qAbs(w.gameList->width() - usable * 2 / 3) <= 2,
             qPrintable(QStringLiteral("game list %1 px of %2").arg(w.gameList->width()).arg(usable)));
    QVERIFY2(qAbs(w.statusLabel->width() - usable / 3) <= 2,
             qPrintable(QStringLiteral("left column %1 px of %2").arg(w.statusLabel->width()).arg(usable)));
    QCOMPARE(w.gameList->geometry().left(), 28 + w.statusLabel->width() + 24);
    // The stretch pushes the status line and the three buttons down to the bottom margin.
    QCOMPARE(w.stopButton->geometry().bottom() + 1, w.centralWidget()->height() - 28);
    QVERIFY(w.statusLabel->geometry().top() > w.routeCard->geometry().bottom() + 8);
    QCOMPARE(w.gameList->geometry().bottom() + 1, w.centralWidget()->height() - 28);
}

void TstMainWindowShell::memberCardAndColumnOrder()
{
    MainWindow &w = *window;
    const QMap<const QObject *, QString> names = {
        {w.accountLabel, QStringLiteral("accountLabel")},
        {w.accountEdit, QStringLiteral("accountEdit")},
        {w.passwordEdit, QStringLiteral("passwordEdit")},
        {w.loginButton, QStringLiteral("loginButton")},
        {w.registerButton, QStringLiteral("registerButton")},
        {w.logoutButton, QStringLiteral("logoutButton")},
        {w.statusLabel, QStringLiteral("statusLabel")},
        {w.startButton, QStringLiteral("startButton")},
        {w.stopButton, QStringLiteral("stopButton")},
        {w.launchButton, QStringLiteral("launchButton")},
    };
    auto contents = [&names](QBoxLayout *layout) {
        QStringList items;
        for (int i = 0; i < layout->count(); ++i) {
            QLayoutItem *item = layout->itemAt(i);
            if (QWidget *widget = item->widget()) {
                items.append(names.value(widget, widget->objectName()));
            } else if (QSpacerItem *spacer = item->spacerItem()) {
                if (spacer->sizePolicy().verticalPolicy() & QSizePolicy::ExpandFlag)
                    items.append(QStringLiteral("stretch %1").arg(layout->stretch(i)));
                else
                    items.append(QStringLiteral("space %1").arg(spacer->sizeHint().height()));
            } else {
                items.append(QStringLiteral("?"));
            }
        }
        return items;
    };

    auto *card = qobject_cast<QVBoxLayout *>(named<QFrame>(&w, "memberCard")->layout());
    QVERIFY(card);
    QCOMPARE(card->contentsMargins(), QMargins(16, 14, 16, 14));
    QCOMPARE(card->spacing(), 6);
    QCOMPARE(contents(card), (QStringList{"memberTitle", "accountLabel", "membershipStatus",
                                          "membershipExpiry", "logoutButton"}));

    auto *columns = qobject_cast<QHBoxLayout *>(w.centralWidget()->layout());
    QVERIFY(columns);
    QCOMPARE(contents(qobject_cast<QBoxLayout *>(columns->itemAt(0)->layout())),
             (QStringList{"pageTitle", "subtitle", "space 24", "memberCard", "accountEdit", "passwordEdit",
                          "loginButton", "registerButton", "space 14", "routeCard", "stretch 0",
                          "statusLabel", "checkServiceButton", "startButton", "launchButton", "stopButton"}));
    QCOMPARE(contents(qobject_cast<QBoxLayout *>(columns->itemAt(1)->layout())),
             (QStringList{"sectionTitle", "gameList"}));
}

void TstMainWindowShell::styleSheetRulesInOrder()
{
    using D = QList<QPair<QString, QString>>;
    const QList<StyleRule> expected = {
        rule({"QMainWindow", "QWidget"}, D{{"background", "#0d111a"},
                                           {"color", "#e8edf7"},
                                           {"font-family", "\"Microsoft YaHei UI\""},
                                           {"font-size", "14px"}}),
        rule({"QLabel#pageTitle"}, D{{"color", "#ffffff"}, {"font-size", "30px"}, {"font-weight", "700"}}),
        rule({"QLabel#subtitle"}, D{{"color", "#7f918a"}, {"font-size", "13px"}}),
        rule({"QLabel#sectionTitle"}, D{{"color", "#ffffff"}, {"font-size", "20px"}, {"font-weight", "600"}}),
        rule({"QFrame#memberCard"},
             D{{"border", "1px solid #26372f"}, {"border-radius", "12px"}, {"background", "#121b18"}}),
        rule({"QLabel#memberTitle"}, D{{"color", "#ffffff"}, {"font-size", "16px"}, {"font-weight", "600"}}),
        rule({"QLabel#membershipStatus"},
             D{{"color", "#f4bd66"}, {"font-size", "15px"}, {"font-weight", "600"}, {"padding-top", "8px"}}),
        rule({"QLabel#membershipStatus[active=\"true\"]"}, D{{"color", "#45d493"}}),
        rule({"QLabel#membershipExpiry"},
             D{{"color", "#9aa6bd"}, {"font-size", "13px"}, {"padding-bottom", "8px"}}),
        rule({"QLabel#routeCard"}, D{{"border", "1px solid #285540"},
                                     {"border-radius", "10px"},
                                     {"background", "#12251d"},
                                     {"color", "#6be1a9"},
                                     {"padding", "14px"},
                                     {"font-size", "14px"},
                                     {"font-weight", "600"}}),
        rule({"QLineEdit", "QListWidget"}, D{{"border", "1px solid #273831"},
                                             {"border-radius", "8px"},
                                             {"background", "#141b28"},
                                             {"color", "#e8edf7"},
                                             {"padding", "10px"}}),
        rule({"QLineEdit:focus", "QListWidget:focus"}, D{{"border-color", "#2dcc85"}}),
        rule({"QListWidget::item"}, D{{"min-height", "46px"}, {"padding", "8px"}, {"border-radius", "6px"}}),
        rule({"QListWidget::item:selected"}, D{{"background", "#194d39"}}),
        rule({"QPushButton"}, D{{"min-height", "42px"},
                                {"border", "0"},
                                {"border-radius", "8px"},
                                {"background", "#28bd78"},
                                {"color", "#ffffff"}}),
        rule({"QPushButton:disabled"}, D{{"background", "#293244"}, {"color", "#778199"}}),
        rule({"QPushButton#secondaryButton"}, D{{"background", "#25322e"}}),
        rule({"QPushButton#launchButton"},
             D{{"border", "1px solid #2e7d59"}, {"background", "#173629"}, {"color", "#72e8ad"}}),
        // Id rules outrank :disabled, so the two buttons with ids need their own disabled look.
        rule({"QPushButton#secondaryButton:disabled", "QPushButton#launchButton:disabled"},
             D{{"border", "0"}, {"background", "#293244"}, {"color", "#778199"}}),
    };

    const QList<StyleRule> actual = parseStyleSheet(window->styleSheet());
    for (int i = 0; i < qMin(actual.size(), expected.size()); ++i)
        QCOMPARE(describe(actual.at(i)), describe(expected.at(i)));
    QCOMPARE(actual.size(), expected.size());
}

void TstMainWindowShell::disabledButtonsPaintSlateGrey()
{
    MainWindow &w = *window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // Inside the rounded corners, left of the centred text.
    auto fill = [](QPushButton *button) { return pixelAt(button, QPoint(10, button->height() / 2)); };
    auto edge = [](QPushButton *button) { return pixelAt(button, QPoint(0, button->height() / 2)); };

    for (QPushButton *button : {w.startButton, w.stopButton, w.launchButton}) {
        QVERIFY(!button->isEnabled());
        QCOMPARE(fill(button), SlateGrey);
        // No outline either: the launch button's green border belongs to its enabled look.
        QCOMPARE(edge(button), SlateGrey);
    }

    // The same sample points see each button's own colours once it is enabled.
    w.startButton->setEnabled(true);
    w.stopButton->setEnabled(true);
    w.launchButton->setEnabled(true);
    QCOMPARE(fill(w.startButton), QColor(0x28, 0xbd, 0x78));
    QCOMPARE(fill(w.stopButton), QColor(0x25, 0x32, 0x2e));
    QCOMPARE(fill(w.launchButton), QColor(0x17, 0x36, 0x29));
    QCOMPARE(edge(w.launchButton), QColor(0x2e, 0x7d, 0x59));
}

void TstMainWindowShell::membershipColourFollowsActiveProperty()
{
    MainWindow &w = *window;
    w.membershipStatus->show();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QLabel *label = w.membershipStatus;

    QCOMPARE(label->palette().color(QPalette::WindowText), InactiveAmber);
    QImage picture = label->grab().toImage();
    QVERIFY(pixelsOf(picture, InactiveAmber) > 0);
    QCOMPARE(pixelsOf(picture, ActiveGreen), 0);

    label->setProperty("active", true);
    repolish(label);
    QCOMPARE(label->palette().color(QPalette::WindowText), ActiveGreen);
    picture = label->grab().toImage();
    QVERIFY(pixelsOf(picture, ActiveGreen) > 0);
    QCOMPARE(pixelsOf(picture, InactiveAmber), 0);

    label->setProperty("active", false);
    repolish(label);
    QCOMPARE(label->palette().color(QPalette::WindowText), InactiveAmber);
    picture = label->grab().toImage();
    QVERIFY(pixelsOf(picture, InactiveAmber) > 0);
    QCOMPARE(pixelsOf(picture, ActiveGreen), 0);
}

void TstMainWindowShell::downloadProgressText_data()
{
    QTest::addColumn<ProgressReports>("reports");
    QTest::addColumn<QString>("expected");
    using R = ProgressReports;
    QTest::newRow("quarter") << R{{512, 2048}} << QStringLiteral("正在下载更新：25%");
    QTest::newRow("one third truncated") << R{{1, 3}} << QStringLiteral("正在下载更新：33%");
    QTest::newRow("two thirds truncated") << R{{2, 3}} << QStringLiteral("正在下载更新：66%");
    QTest::newRow("nothing yet") << R{{0, 2048}} << QStringLiteral("正在下载更新：0%");
    QTest::newRow("complete") << R{{2048, 2048}} << QStringLiteral("正在下载更新：100%");
    QTest::newRow("beyond 32 bits") << R{{qint64(3) << 40, qint64(4) << 40}}
                                    << QStringLiteral("正在下载更新：75%");
    QTest::newRow("total 0 leaves the line")
        << R{{512, 2048}, {700, 0}} << QStringLiteral("正在下载更新：25%");
    QTest::newRow("unknown total leaves the line")
        << R{{2, 3}, {900, -1}} << QStringLiteral("正在下载更新：66%");
    QTest::newRow("unknown total before any")
        << R{{900, -1}, {5, 0}} << QStringLiteral("尚未连接本地加速服务");
}

void TstMainWindowShell::downloadProgressText()
{
    QFETCH(ProgressReports, reports);
    QFETCH(QString, expected);
    for (const auto &report : reports)
        emit window->apiClient->UpdateDownloadProgress(report.first, report.second);
    QCOMPARE(window->statusLabel->text(), expected);
}

void TstMainWindowShell::downloadFailureShowsStatusThenWarning()
{
    MainWindow &w = *window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QString message = QStringLiteral("更新下载失败：连接被重置");
    emit w.apiClient->UpdateDownloadProgress(1, 4);

    QString statusWhileBoxOpen;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons standard;
    qsizetype buttonCount = -1;
    QWidget *owner = nullptr;
    Qt::WindowModality modality = Qt::NonModal;
    const bool shown = withModalBox([&] { emit w.apiClient->UpdateDownloadFailed(message); },
                                    [&](QMessageBox *box) {
                                        statusWhileBoxOpen = w.statusLabel->text();
                                        title = box->windowTitle();
                                        text = box->text();
                                        icon = box->icon();
                                        standard = box->standardButtons();
                                        buttonCount = box->buttons().size();
                                        owner = box->parentWidget();
                                        modality = box->windowModality();
                                        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                                            ok->click();
                                    });
    QVERIFY2(shown, "no modal message box appeared");

    // The status line already holds the message while the box is up.
    QCOMPARE(statusWhileBoxOpen, message);
    QCOMPARE(title, QStringLiteral("更新失败"));
    QCOMPARE(text, message);
    QCOMPARE(icon, QMessageBox::Warning);
    QCOMPARE(standard, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(buttonCount, 1);
    QCOMPARE(owner, static_cast<QWidget *>(&w));
    QVERIFY(modality != Qt::NonModal);
    QCOMPARE(w.statusLabel->text(), message);
    QVERIFY(!QApplication::activeModalWidget());
}

QMap<QString, QString> TstMainWindowShell::snapshot() const
{
    QMap<QString, QString> state;
    const MainWindow &w = *window;
    const QList<QWidget *> widgets = w.findChildren<QWidget *>();
    for (int i = 0; i < widgets.size(); ++i) {
        QWidget *widget = widgets.at(i);
        QString text;
        if (auto *label = qobject_cast<QLabel *>(widget))
            text = label->text();
        else if (auto *button = qobject_cast<QAbstractButton *>(widget))
            text = button->text();
        else if (auto *edit = qobject_cast<QLineEdit *>(widget))
            text = edit->text();
        state.insert(
            QStringLiteral("%1 %2 %3").arg(i).arg(widget->metaObject()->className(), widget->objectName()),
            QStringLiteral("visible=%1 enabled=%2 text=%3")
                .arg(widget->isVisible())
                .arg(widget->isEnabled())
                .arg(text));
    }
    state.insert(QStringLiteral("window"), QStringLiteral("visible=%1 geometry=%2,%3 %4x%5")
                                               .arg(w.isVisible())
                                               .arg(w.geometry().x())
                                               .arg(w.geometry().y())
                                               .arg(w.width())
                                               .arg(w.height()));
    state.insert(QStringLiteral("games"), QString::number(w.gameList->count()));
    state.insert(QStringLiteral("members"),
                 QStringList{w.selectedGameId, w.selectedRegionId, w.selectedGameSlug, w.activeSessionId,
                             w.tunnelPrivateKey, w.tunnelPublicKey, QString::number(w.quitting)}
                     .join(QLatin1Char('|')));
    state.insert(QStringLiteral("tray"), QString::number(w.trayIcon->isVisible()));
    return state;
}

void TstMainWindowShell::registrationOpensLinkAndChangesNothing()
{
    MainWindow &w = *window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(server->waitForRequests(1)); // the start-up release check
    UrlRecorder browser;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");
    const auto unset = qScopeGuard([] {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    });

    const QMap<QString, QString> before = snapshot();
    const int requestsBefore = server->requestCount();
    QTest::mouseClick(w.registerButton, Qt::LeftButton);

    QCOMPARE(browser.urls.size(), 1);
    const QUrl link = browser.urls.first();
    QVERIFY(link.isValid());
    QCOMPARE(link.scheme(), QStringLiteral("https"));
    QVERIFY(!link.host().isEmpty());

    const QMap<QString, QString> after = snapshot();
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(after.value(it.key()), it.value());
    QCOMPARE(after.size(), before.size());

    // A second click opens it again, still without a request to the backend.
    QTest::mouseClick(w.registerButton, Qt::LeftButton);
    QCOMPARE(browser.urls.size(), 2);
    QCOMPARE(browser.urls.at(1), link);
    QTest::qWait(100);
    QCOMPARE(server->requestCount(), requestsBefore);
}

void TstMainWindowShell::enterInTheInputsSendsNothing()
{
    MainWindow &w = *window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(server->waitForRequests(1)); // the start-up release check

    QTest::keyClicks(w.accountEdit, QStringLiteral("alice"));
    QTest::keyClicks(w.passwordEdit, QStringLiteral("secret"));
    for (QLineEdit *edit : {w.accountEdit, w.passwordEdit}) {
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Return);
        QTest::keyClick(edit, Qt::Key_Enter);
    }
    QCOMPARE(w.accountLabel->text(), QStringLiteral("尚未登录"));
    QVERIFY(w.loginButton->isEnabled());
    QCOMPARE(w.passwordEdit->text(), QStringLiteral("secret"));

    // The button does sign in; it is the only sign-in request that reaches the backend.
    QTest::mouseClick(w.loginButton, Qt::LeftButton);
    QCOMPARE(w.accountLabel->text(), QStringLiteral("正在登录…"));
    QTRY_COMPARE(w.accountLabel->text(), QStringLiteral("账号或密码错误"));
    int logins = 0;
    for (const RecordedRequest &request : server->requests())
        logins += request.path() == "/api/v1/auth/login";
    QCOMPARE(logins, 1);
}

void TstMainWindowShell::startupReleaseCheckOnceWithoutToken()
{
    QVERIFY(server->waitForRequests(1));
    const RecordedRequest check = server->requests().first();
    QCOMPARE(check.method, QByteArray("GET"));
    QCOMPARE(check.path(), QByteArray("/api/v1/client/releases/latest"));
    QVERIFY(!check.hasHeader("Authorization"));

    // A sign-in afterwards is the next request: the check was not repeated.
    MainWindow &w = *window;
    w.accountEdit->setText(QStringLiteral("alice"));
    w.passwordEdit->setText(QStringLiteral("secret"));
    w.loginButton->click();
    QVERIFY(server->waitForRequests(2));
    QTRY_COMPARE(w.accountLabel->text(), QStringLiteral("账号或密码错误"));
    QCOMPARE(server->requestCount(), 2);
    QCOMPARE(server->requests().at(1).path(), QByteArray("/api/v1/auth/login"));
}

void TstMainWindowShell::programStartsWithUnknownArguments()
{
    // Only the real program's own start-up: a server of its own so that its release check is the one seen.
    TestServer backend;
    QVERIFY(backend.isListening());
    backend.on("GET", "/api/v1/client/releases/latest").always(ScriptedReply(404));

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("DIVE_DIZUVIVIVID_API_URL"), backend.baseUrl().toString());
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(ZUMVARI_PROGRAM),
                  {QStringLiteral("--no-such-option"), QStringLiteral("-zumvari-unknown"),
                   QStringLiteral("--level=9"), QStringLiteral("stray-argument")});
    QVERIFY2(program.waitForStarted(5000), qPrintable(program.errorString()));
    const auto stop = qScopeGuard([&program] {
        program.kill();
        program.waitForFinished(5000);
    });

    // The release check comes from the window's constructor: the window was built.
    QVERIFY2(backend.waitForRequests(1, 20000), "the program never built its window");
    QCOMPARE(backend.requests().first().path(), QByteArray("/api/v1/client/releases/latest"));
    // And it keeps running in its event loop.
    QVERIFY(!program.waitForFinished(1000));
    QCOMPARE(program.state(), QProcess::Running);
}

ZUMVARI_TEST_MAIN(TstMainWindowShell)
#include "tst_mainwindow_shell.moc"
