// The release check and the installer download against real loopback servers (the download over
// HTTPS with the tests' own CA): what is asked for, which releases are offered, and what ends up on
// disk, seen through the client's signals, the recorded requests and the installer folder.
#include "apiclient.h"
#include "apiclientwatch.h"
#include "clienttest.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

namespace {

const char ReleasePath[] = "/api/v1/client/releases/latest";
const QByteArray EarlierInstaller = "an earlier, verified installer";
const QString Downloaded = QStringLiteral("UpdateDownloaded");
const QString Failed = QStringLiteral("UpdateDownloadFailed");

QByteArray payload(int size, quint32 seed)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

QString sha256Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QString installerFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation) + QLatin1String("/Zumvari");
}

QString installerPath()
{
    return installerFolder() + QLatin1String("/Zumvari-Update-Setup.exe");
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// Nothing but the installer in its folder: no leftovers of a save-file.
QStringList folderEntries()
{
    return QDir(installerFolder())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TstApiClientUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        trustTestCa();
        originalTmpdir = qgetenv("TMPDIR");
    }
    void init()
    {
        QFile::remove(installerFolder());
        QDir(installerFolder()).removeRecursively();
    }
    void cleanup() { qputenv("TMPDIR", originalTmpdir); }

    void releaseCheck_data();
    void releaseCheck();
    void downloadSavesVerifiedInstaller_data();
    void downloadSavesVerifiedInstaller();
    void failedDownloadKeepsEarlierInstaller_data();
    void failedDownloadKeepsEarlierInstaller();
    void unusableArgumentsSendNothing_data();
    void unusableArgumentsSendNothing();
    void installerCannotBeSaved_data();
    void installerCannotBeSaved();
    void twoDownloadsAtOnce();

private:
    QByteArray originalTmpdir;
};

void TstApiClientUpdate::releaseCheck_data()
{
    QTest::addColumn<int>("status"); // 0: the connection closes without a reply
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QVariantList>("offered"); // UpdateAvailable's six values; empty: nothing at all
    const auto row = [](const char *tag, int status, const QByteArray &body, const QVariantList &offered) {
        QTest::newRow(tag) << status << body << offered;
    };
    const auto release = [&](const char *version, bool newer) {
        const QVariantList offer{QString::fromLatin1(version),
                                 QUrl(QStringLiteral("https://h/s.exe")),
                                 QString(),
                                 false,
                                 QStringLiteral("00"),
                                 qint64(1)};
        row(version, 200,
            R"({"version":")" + QByteArray(version) +
                R"(","download_url":"https://h/s.exe","sha256":"00","size_bytes":1})",
            newer ? offer : QVariantList());
    };
    // The running version is 0.4.0; the version is passed on as received, suffix and all.
    release("0.4.0", false);
    release("0.4.1-beta", true);
    release("0.4.0-beta", false);
    release("0.4.0.1", true);
    release("0.5", true);
    release("0.4", false); // a prefix of 0.4.0, so older
    release("v1.0", false);
    row("404", 404, R"({"version":"9.9.9"})", {});
    row("201", 201, R"({"version":"9.9.9"})", {});
    row("not JSON", 200, "version: 9.9.9", {});
    row("connection closed", 0, {}, {});

    const QString url = QStringLiteral("https://dl.example.test/更新/Setup 1.exe");
    row("all members", 200,
        QStringLiteral(R"({"version":"0.4.1-beta","download_url":"%1","release_notes":"修复\n“引号”",)"
                       R"("mandatory":true,"sha256":"ABCdef","size_bytes":5000000000})")
            .arg(url)
            .toUtf8(),
        {QStringLiteral("0.4.1-beta"), QUrl(url, QUrl::TolerantMode), QStringLiteral("修复\n“引号”"), true,
         QStringLiteral("ABCdef"), qint64(5000000000)});
    const QVariantList defaults{QStringLiteral("0.5"), QUrl(), QString(), false, QString(), qint64(0)};
    row("version only", 200, R"({"version":"0.5"})", defaults);
    row("mistyped members", 200,
        R"({"version":"0.5","download_url":7,"release_notes":["x"],"mandatory":"true","sha256":123,)"
        R"("size_bytes":2048.5})",
        defaults);
}

void TstApiClientUpdate::releaseCheck()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QVariantList, offered);

    // Signed in, with a path and a query in the base URL: the release request replaces both and
    // carries no token.
    ApiRig rig(TestServer::Http, QStringLiteral("/prefix/?tenant=7&channel=beta"));
    QVERIFY(rig.signIn());
    if (status == 0)
        rig.server->on("GET", ReleasePath).always(ScriptedReply::close());
    else
        rig.server->on("GET", ReleasePath).reply(status, body);
    const QList<QNetworkReply *> before = rig.watch->replies();
    rig.client->CheckForUpdate();
    QNetworkReply *reply = rig.watch->newReply(before);
    // A server that stops answering ends the check after 30 s without a byte.
    QVERIFY(reply && reply->request().transferTimeout() == 30000);
    QVERIFY(rig.watch->waitFor(1));
    const RecordedRequest request = rig.server->lastRequest();
    QCOMPARE(request.method + ' ' + request.target,
             "GET " + QByteArray(ReleasePath) + "?channel=alpha&platform=windows-x64");
    QVERIFY(!request.hasHeader("Authorization") && !request.hasHeader("Content-Type") &&
            request.body.isEmpty());

    // Silent on every refusal and every failure: no RequestFailed either.
    QCOMPARE(rig.log->names(),
             offered.isEmpty() ? QStringList() : QStringList{QStringLiteral("UpdateAvailable")});
    if (!offered.isEmpty())
        QCOMPARE(rig.log->entries.first().args, offered);
}

void TstApiClientUpdate::downloadSavesVerifiedInstaller_data()
{
    QTest::addColumn<int>("serving");    // 0: whole, 1: in pieces, 2: in pieces without a length
    QTest::addColumn<QString>("digest"); // of payload(300000, 1)
    QTest::addColumn<bool>("earlierInOpenFolder");
    const QString digest = sha256Of(payload(300000, 1));
    QTest::newRow("in pieces") << 1 << digest << false;
    QTest::newRow("in pieces, total unknown") << 2 << digest << false;
    QTest::newRow("upper-case digest") << 0 << digest.toUpper() << false;
    QTest::newRow("mixed-case digest") << 0 << digest.left(32).toUpper() + digest.mid(32) << false;
    // Our own folder left open to everybody: tightened before the new installer replaces the old.
    QTest::newRow("earlier installer, folder open to all") << 0 << digest << true;
}

void TstApiClientUpdate::downloadSavesVerifiedInstaller()
{
    QFETCH(int, serving);
    QFETCH(QString, digest);
    QFETCH(bool, earlierInOpenFolder);

    if (earlierInOpenFolder) {
        QVERIFY(QDir().mkpath(installerFolder()) && writeFile(installerPath(), EarlierInstaller));
        QVERIFY(QFile::setPermissions(installerFolder(), QFileDevice::Permissions(0x7777)));
    }
    ApiRig rig(TestServer::Https);
    const QByteArray body = payload(300000, 1);
    ScriptedReply served(200, body);
    if (serving > 0)
        served.inChunks(100000, 150);
    rig.server->on("GET", "/files/setup.exe").reply(serving == 2 ? served.withoutLength() : served);

    const QList<QNetworkReply *> before = rig.watch->replies();
    rig.client->DownloadUpdate(rig.server->url("/files/setup.exe"), digest, body.size());
    QNetworkReply *reply = rig.watch->newReply(before);
    // A server that stops sending ends the download after 60 s without a byte.
    QVERIFY(reply && reply->request().transferTimeout() == 60000);
    QList<QPair<qint64, qint64>> reported;
    connect(reply, &QNetworkReply::downloadProgress, [&reported](qint64 received, qint64 total) {
        reported.append({received, total});
    });
    QVERIFY(rig.watch->waitFor(1));

    // The reply's own progress, report for report (the total -1 while unknown), then the installer.
    QVERIFY2(reported.size() >= (serving ? 2 : 1), qPrintable(QString::number(reported.size())));
    QCOMPARE(rig.log->progress(), reported);
    QCOMPARE(reported.last(), (QPair<qint64, qint64>(body.size(), body.size())));
    QCOMPARE(reported.first().second, serving == 2 ? qint64(-1) : qint64(body.size()));
    QCOMPARE(rig.log->outcomeLines(), QStringList{Downloaded + ' ' + installerPath()});
    QCOMPARE(readFile(installerPath()), body);
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("Zumvari-Update-Setup.exe")});
#ifdef Q_OS_UNIX
    QCOMPARE(int(QFileInfo(installerFolder()).permissions() & 0x7077), 0x7000); // the owner's only
#endif

    const RecordedRequest request = rig.server->lastRequest();
    QCOMPARE(request.method + ' ' + request.target, QByteArray("GET /files/setup.exe"));
    QVERIFY(request.encrypted && !request.hasHeader("Authorization") && !request.hasHeader("Content-Type"));
}

void TstApiClientUpdate::failedDownloadKeepsEarlierInstaller_data()
{
    QTest::addColumn<QString>("kind"); // "answer", "lying" (announces more, then closes), "closed", "trickle"
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("bodyDelta"); // body size minus the expected size
    QTest::addColumn<bool>("rightDigest");
    QTest::addColumn<QString>("message"); // exact, or a prefix when it ends in "："

    const QString transfer = QStringLiteral("更新下载失败：");
    // A transfer that ends without a network error reports the reply's plain error string.
    QTest::newRow("one byte short") << "answer" << 200 << -1 << true
                                    << transfer + QStringLiteral("Unknown error");
    QTest::newRow("one byte long") << "answer" << 200 << 1 << true << transfer;
    // 30 pieces 100 ms apart: the whole body would take three seconds, the client stops at the second.
    QTest::newRow("far too long, in pieces") << "trickle" << 200 << 232 * 1024 << true << transfer;
    QTest::newRow("404 with the right body") << "answer" << 404 << 0 << true << transfer;
    QTest::newRow("201 with the right body") << "answer" << 201 << 0 << true << transfer;
    QTest::newRow("cut off mid-body") << "lying" << 200 << -1 << true << transfer;
    QTest::newRow("connection closed") << "closed" << 0 << 0 << true << transfer;
    QTest::newRow("wrong digest") << "answer" << 200 << 0 << false
                                  << QStringLiteral("更新文件校验失败，已停止安装");
}

void TstApiClientUpdate::failedDownloadKeepsEarlierInstaller()
{
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(int, bodyDelta);
    QFETCH(bool, rightDigest);
    QFETCH(QString, message);

    QVERIFY(QDir().mkpath(installerFolder()) && writeFile(installerPath(), EarlierInstaller));
    ApiRig rig(TestServer::Https);
    const int size = 16 * 1024;
    const QByteArray expected = payload(size, 4);
    const QByteArray sent =
        bodyDelta > 0 ? expected + payload(bodyDelta, 5) : expected.left(size + bodyDelta);
    Route &route = rig.server->on("GET", "/setup.exe");
    if (kind == QLatin1String("answer"))
        route.reply(status, sent, "application/octet-stream");
    else if (kind == QLatin1String("lying"))
        route.reply(ScriptedReply(status, sent).lyingLength(size));
    else if (kind == QLatin1String("trickle"))
        route.reply(ScriptedReply(status, sent).inChunks(8 * 1024, 100));
    else
        route.always(ScriptedReply::close());

    QElapsedTimer clock;
    clock.start();
    QVERIFY(rig.finish([&] {
        rig.client->DownloadUpdate(rig.server->url("/setup.exe"),
                                   sha256Of(rightDigest ? expected : sent + "x"), size);
    }));
    const QStringList got = rig.log->outcomeLines();
    const QString line = Failed + ' ' + message;
    QCOMPARE(got.size(), 1);
    if (message.endsWith(QChar(0xFF1A))) // "：": the reply's error string follows
        QVERIFY2(got[0].startsWith(line) && got[0].size() > line.size(), qPrintable(got[0]));
    else
        QCOMPARE(got[0], line);
    QCOMPARE(readFile(installerPath()), EarlierInstaller);
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("Zumvari-Update-Setup.exe")});
    if (kind == QLatin1String("trickle")) {
        // Cut off as soon as it ran over, not held until the end.
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        const qint64 received = rig.log->progress().last().first;
        QVERIFY2(received > size && received < sent.size() / 2, qPrintable(QString::number(received)));
    }
}

void TstApiClientUpdate::unusableArgumentsSendNothing_data()
{
    QTest::addColumn<QString>("url"); // PORT: this test's HTTPS server
    QTest::addColumn<int>("digestLength");
    QTest::addColumn<qint64>("size");
    QTest::newRow("http URL") << "http://127.0.0.1:PORT/setup.exe" << 64 << qint64(16);
    QTest::newRow("invalid URL") << "https://[::1/setup.exe" << 64 << qint64(16);
    QTest::newRow("63-character digest") << "https://127.0.0.1:PORT/setup.exe" << 63 << qint64(16);
    QTest::newRow("65-character digest") << "https://127.0.0.1:PORT/setup.exe" << 65 << qint64(16);
    QTest::newRow("size 0") << "https://127.0.0.1:PORT/setup.exe" << 64 << qint64(0);
}

void TstApiClientUpdate::unusableArgumentsSendNothing()
{
    QFETCH(QString, url);
    QFETCH(int, digestLength);
    QFETCH(qint64, size);

    ApiRig rig(TestServer::Https);
    const QByteArray body(16, 'x');
    rig.server->on("GET", "/setup.exe").always(ScriptedReply(200, body));
    url.replace(QLatin1String("PORT"), QString::number(rig.server->port()));
    const QList<QNetworkReply *> before = rig.watch->replies();
    rig.client->DownloadUpdate(QUrl(url), (sha256Of(body) + sha256Of(body)).left(digestLength), size);
    // Refused from within the call, without making a reply.
    QCOMPARE(rig.log->outcomeLines(), QStringList{Failed + QStringLiteral(" 更新信息不完整")});
    QVERIFY(!rig.watch->newReply(before));

    // A usable download made afterwards is the only connection and request the server sees.
    QVERIFY(rig.finish([&] {
        rig.client->DownloadUpdate(rig.server->url("/setup.exe?after"), sha256Of(body), body.size());
    }));
    QCOMPARE(rig.log->outcomeLines(), QStringList{Downloaded + ' ' + installerPath()});
    QCOMPARE(rig.server->connectionCount(), 1);
    QCOMPARE(rig.server->requestCount(), 1);
    QCOMPARE(rig.server->lastRequest().target, QByteArray("/setup.exe?after"));
}

void TstApiClientUpdate::installerCannotBeSaved_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("message");
    const QString folder = QStringLiteral("无法创建更新临时目录");
    // Not the root of the file system either: the installer folder would be "/Zumvari".
    QTest::newRow("temporary folder missing") << "missing temporary folder" << folder;
    QTest::newRow("installer folder is a regular file") << "file for the folder" << folder;
    QTest::newRow("installer is a folder") << "folder for the file" << QStringLiteral("无法保存更新安装程序");
}

void TstApiClientUpdate::installerCannotBeSaved()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, message);

    if (obstacle == QLatin1String("missing temporary folder"))
        qputenv("TMPDIR", originalTmpdir + "/gone");
    else if (obstacle == QLatin1String("file for the folder"))
        QVERIFY(writeFile(installerFolder(), "a file, not a folder"));
    else
        QVERIFY(QDir().mkpath(installerPath() + QLatin1String("/inside")));

    ApiRig rig(TestServer::Https);
    const QByteArray body = payload(2048, 9);
    rig.server->on("GET", "/setup.exe").reply(200, body);
    QVERIFY(rig.finish(
        [&] { rig.client->DownloadUpdate(rig.server->url("/setup.exe"), sha256Of(body), body.size()); }));
    QCOMPARE(rig.log->outcomeLines(), QStringList{Failed + ' ' + message});
    QVERIFY(!QFileInfo(installerPath()).isFile());
}

void TstApiClientUpdate::twoDownloadsAtOnce()
{
    ApiRig rig(TestServer::Https);
    const QByteArray first = payload(50000, 12);
    const QByteArray second = payload(70000, 13);
    rig.server->on("GET", "/first.exe").reply(ScriptedReply(200, first).delayed(500));
    rig.server->on("GET", "/second.exe").reply(200, second);
    rig.client->DownloadUpdate(rig.server->url("/first.exe"), sha256Of(first), first.size());
    rig.client->DownloadUpdate(rig.server->url("/second.exe"), sha256Of(second), second.size());
    QVERIFY(rig.watch->waitFor(2));

    // Each is checked against its own digest and size; the one that finishes last is on disk.
    QCOMPARE(rig.log->outcomeLines(), QStringList(2, Downloaded + ' ' + installerPath()));
    QCOMPARE(readFile(installerPath()), first);
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("Zumvari-Update-Setup.exe")});
}

ZUMVARI_TEST_MAIN(TstApiClientUpdate)
#include "tst_apiclient_update.moc"
