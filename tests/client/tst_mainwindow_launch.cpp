// Starting the chosen game through Steam from the window's launch button. The "steam" links are caught
// by a handler registered here instead of reaching the desktop.
#include "clienttest.h"
#include "windowrig.h"

#include <QDesktopServices>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QtTest>

#include <memory>
#include <optional>

using namespace Rig;

// Receives the links the client hands to the desktop for the "steam" scheme.
class SteamLinkCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void openUrl(const QUrl &url) { opened.append(url); }
};

class TstMainWindowLaunch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("steam")); }
    void init();
    void cleanup() { rig.reset(); }

    void launchBySlug_data();
    void launchBySlug();
    void launchStaysAfterAStop();

private:
    SteamLinkCatcher catcher;
    std::unique_ptr<WindowRig> rig;
};

void TstMainWindowLaunch::initTestCase()
{
    QVERIFY(installPairgen(QStringLiteral(PAIRGEN_PATH)));
    QDesktopServices::setUrlHandler(QStringLiteral("steam"), &catcher, "openUrl");
}

void TstMainWindowLaunch::init()
{
    catcher.opened.clear();
    rig = std::make_unique<WindowRig>();
    QVERIFY(rig->startService());
    QVERIFY(rig->open());
}

void TstMainWindowLaunch::launchBySlug_data()
{
    QTest::addColumn<QString>("slug");  // null: the catalogue entry has no "slug"
    QTest::addColumn<QString>("appId"); // empty: the information box instead of a link

    const std::pair<const char *, const char *> table[] = {
        {"cs2", "730"},
        {"pubg", "578080"},
        {"apex-legends", "1172470"},
        {"delta-force", "2507950"},
        {"repo", "3241660"},
        {"vrchat", "438100"},
        {"war-thunder-international", "236390"},
        {"yugioh-master-duel", "1449850"},
        {"goose-goose-duck", "1568590"},
        {"naraka-bladepoint", "1203220"},
        {"a-way-out", "1222700"},
        {"call-of-duty", "1938090"},
    };
    for (const auto &[slug, appId] : table)
        QTest::newRow(slug) << QString::fromLatin1(slug) << QString::fromLatin1(appId);
    QTest::newRow("capitals") << QStringLiteral("CS2") << QString();
    QTest::newRow("table key with a blank") << QStringLiteral("cs2 ") << QString();
    QTest::newRow("no slug") << QString() << QString();
}

void TstMainWindowLaunch::launchBySlug()
{
    QFETCH(QString, slug);
    QFETCH(QString, appId);

    QJsonObject game{{"id", "g-1"}, {"name", "反恐精英2"}};
    if (!slug.isNull())
        game.insert("slug", slug);
    rig->server.on("GET", "/api/v1/games").always(items({game}));
    QVERIFY(rig->signIn() && rig->regionMatched());
    QVERIFY(!rig->window->launchButton->isEnabled()); // offered only once the tunnel runs
    QVERIFY(rig->accelerate());
    const QString statusBefore = rig->window->statusLabel->text();
    std::optional<QString> boxShown;
    const auto launch = [this] { rig->window->launchButton->click(); };
    const auto describe = [&](QMessageBox *box) {
        QCOMPARE(box->windowTitle(), QStringLiteral("启动游戏"));
        QCOMPARE(box->icon(), QMessageBox::Information);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box->buttons().size(), 1);
        boxShown = box->text();
    };
    QCOMPARE(withModalBox(launch, describe), appId.isEmpty());

    if (appId.isEmpty()) {
        QCOMPARE(
            boxShown.value_or(QString()),
            QStringLiteral("该游戏暂未配置自动启动，请保持Zumvari处于“正在加速”，再从游戏官方启动器打开。"));
        QTest::qWait(100);
        QVERIFY(catcher.opened.isEmpty());
    } else {
        QTRY_COMPARE(catcher.opened.size(), 1);
        QCOMPARE(catcher.opened.first().toString(), QStringLiteral("steam://rungameid/%1").arg(appId));
        QCOMPARE(catcher.opened.first().scheme(), QStringLiteral("steam"));
    }
    QCOMPARE(rig->window->statusLabel->text(), statusBefore);
    QVERIFY(rig->window->launchButton->isEnabled());
}

void TstMainWindowLaunch::launchStaysAfterAStop()
{
    QVERIFY(rig->signIn() && rig->regionMatched() && rig->accelerate()); // the rig's first game is "cs2"
    rig->window->stopButton->click();
    QTRY_COMPARE(rig->window->statusLabel->text(), QStringLiteral("当前未加速"));
    QVERIFY(rig->window->activeSessionId.isEmpty());
    QVERIFY(rig->window->launchButton->isEnabled());

    rig->window->launchButton->click();
    QTRY_COMPARE(catcher.opened.size(), 1);
    QCOMPARE(catcher.opened.first(), QUrl(QStringLiteral("steam://rungameid/730")));
}

ZUMVARI_TEST_MAIN(TstMainWindowLaunch)
#include "tst_mainwindow_launch.moc"
