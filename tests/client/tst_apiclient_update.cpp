// The release check and the installer download against real loopback servers (the download over
// HTTPS with the tests' own CA): what is asked for, which releases are offered, and what ends up on
// disk, seen through the client's signals, the recorded requests and the installer folder.
#include "apiclient.h"
#include "apiclientwatch.h"
#include "clienttest.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

const char ApiUrlVariable[] = "DIVE_DIZUVIVIVID_API_URL";
const char ReleasePath[] = "/api/v1/client/releases/latest";

struct Rig
{
    explicit Rig(TestServer::Scheme scheme = TestServer::Https, const QString &baseSuffix = {})
        : server(std::make_unique<TestServer>(scheme))
    {
        qputenv(ApiUrlVariable, (server->baseUrl().toString() + baseSuffix).toUtf8());
        client = std::make_unique<ApiClient>();
        log = std::make_unique<SignalLog>(client.get());
        watch = std::make_unique<ReplyWatch>(client.get());
    }

    bool signIn()
    {
        server->on("POST", "/api/v1/auth/login")
            .reply(200, R"({"access_token":"tok-1","refresh_token":"ref-1"})");
        client->Login(QStringLiteral("member"), QStringLiteral("pw"));
        const bool ok = watch->waitFor(1) && client->IsLoggedIn();
        log->clear();
        watch->reset();
        return ok;
    }

    std::unique_ptr<TestServer> server;
    std::unique_ptr<ApiClient> client;
    std::unique_ptr<SignalLog> log;
    std::unique_ptr<ReplyWatch> watch;
};

QByteArray payload(int size, quint32 seed = 1)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
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

int modeOf(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
#else
    Q_UNUSED(path);
    return -1;
#endif
}

QStringList folderEntries()
{
    return QDir(installerFolder())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

const QString EarlierInstaller = QStringLiteral("an earlier, verified installer");

} // namespace

class TstApiClientUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void releaseRequest();
    void releaseVersions_data();
    void releaseVersions();
    void releaseValuesPassedThrough_data();
    void releaseValuesPassedThrough();

    void downloadSavesVerifiedInstaller();
    void downloadProgressWithoutLength();
    void upperCaseDigestMatches();
    void failedDownloadKeepsEarlierInstaller_data();
    void failedDownloadKeepsEarlierInstaller();
    void overlongBodyIsCutOffEarly();
    void unusableArgumentsSendNothing_data();
    void unusableArgumentsSendNothing();
    void installerFolderNotCreatable_data();
    void installerFolderNotCreatable();
    void installerNotWritable();
    void sharedInstallerFolderTightened();
    void twoDownloadsAtOnce();

private:
    QByteArray originalTmpdir;
};

void TstApiClientUpdate::initTestCase()
{
    trustTestCa();
    originalTmpdir = qgetenv("TMPDIR");
}

void TstApiClientUpdate::init()
{
    QFile::remove(installerFolder());
    QDir(installerFolder()).removeRecursively();
}

void TstApiClientUpdate::cleanup()
{
    qputenv("TMPDIR", originalTmpdir);
    qunsetenv(ApiUrlVariable);
}

void TstApiClientUpdate::releaseRequest()
{
    // The base URL's path and query give way to the release path and its own two query items.
    Rig rig(TestServer::Http, QStringLiteral("/prefix/?tenant=7&channel=beta"));
    QVERIFY(rig.signIn());
    rig.server->clearRequests();
    rig.client->CheckForUpdate();
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.server->requestCount(), 1);
    const RecordedRequest request = rig.server->lastRequest();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, QByteArray(ReleasePath) + "?channel=alpha&platform=windows-x64");
    QVERIFY(!request.hasHeader("Authorization"));
    QVERIFY(!request.hasHeader("Content-Type"));
    QVERIFY(request.body.isEmpty());
    // The route had no reply scripted (404): nothing at all is reported.
    QVERIFY(rig.log->entries.isEmpty());
}

void TstApiClientUpdate::releaseVersions_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("offered");

    const auto release = [](const char *version) {
        return QByteArray(R"({"version":")") + version +
               R"(","download_url":"https://127.0.0.1/setup.exe","sha256":"00","size_bytes":1})";
    };
    // The running version is 0.4.0.
    QTest::newRow("0.4.0 same") << 200 << release("0.4.0") << false;
    QTest::newRow("0.4.1-beta") << 200 << release("0.4.1-beta") << true;
    QTest::newRow("0.4.1-alpha") << 200 << release("0.4.1-alpha") << true;
    QTest::newRow("0.4.0-beta") << 200 << release("0.4.0-beta") << false;
    QTest::newRow("0.4.0-alpha") << 200 << release("0.4.0-alpha") << false;
    QTest::newRow("0.4.0.1") << 200 << release("0.4.0.1") << true;
    QTest::newRow("0.5") << 200 << release("0.5") << true;
    QTest::newRow("0.10.0 numeric, not text") << 200 << release("0.10.0") << true;
    QTest::newRow("1.0.0-rc1") << 200 << release("1.0.0-rc1") << true;
    QTest::newRow("0.4 prefix") << 200 << release("0.4") << false;
    QTest::newRow("0.3.99") << 200 << release("0.3.99") << false;
    QTest::newRow("v1.0") << 200 << release("v1.0") << false;
    QTest::newRow("empty version") << 200 << release("") << false;
    QTest::newRow("no version") << 200 << QByteArray(R"({"size_bytes":1})") << false;
    QTest::newRow("numeric version") << 200 << QByteArray(R"({"version":1.0})") << false;
    QTest::newRow("404") << 404 << release("9.9.9") << false;
    QTest::newRow("201") << 201 << release("9.9.9") << false;
    QTest::newRow("500") << 500 << release("9.9.9") << false;
    QTest::newRow("not JSON") << 200 << QByteArray("version: 9.9.9") << false;
    QTest::newRow("array") << 200 << ("[" + release("9.9.9") + "]") << false;
    QTest::newRow("connection closed") << 0 << QByteArray() << false;
}

void TstApiClientUpdate::releaseVersions()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, offered);

    Rig rig(TestServer::Http);
    if (status == 0)
        rig.server->on("GET", ReleasePath).always(ScriptedReply::close());
    else
        rig.server->on("GET", ReleasePath).reply(status, body);
    rig.client->CheckForUpdate();
    QVERIFY(rig.watch->waitFor(1));

    if (offered) {
        QCOMPARE(rig.log->names(), QStringList{QStringLiteral("UpdateAvailable")});
        QCOMPARE(rig.log->entries.first().args.first(),
                 QJsonDocument::fromJson(body).object().value(QLatin1String("version")).toVariant());
    } else {
        // Silent on every refusal and every failure: no RequestFailed either.
        QCOMPARE(rig.log->names(), QStringList());
    }
}

void TstApiClientUpdate::releaseValuesPassedThrough_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QVariantList>("args");

    const QString digest = QStringLiteral("ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789");
    const QString url = QStringLiteral("https://dl.example.test/更新/Zumvari Setup.exe?v=0.4.1");
    QJsonObject full{{QStringLiteral("version"), QStringLiteral("0.4.1-beta")},
                     {QStringLiteral("download_url"), url},
                     {QStringLiteral("release_notes"), QStringLiteral("修复若干问题\n- 第二行 “引号”")},
                     {QStringLiteral("mandatory"), true},
                     {QStringLiteral("sha256"), digest},
                     {QStringLiteral("size_bytes"), qint64(5000000000)},
                     {QStringLiteral("extra"), QStringLiteral("ignored")}};
    QTest::newRow("all members") << QJsonDocument(full).toJson()
                                 << QVariantList{QStringLiteral("0.4.1-beta"),
                                                 QUrl(url, QUrl::TolerantMode),
                                                 QStringLiteral("修复若干问题\n- 第二行 “引号”"),
                                                 true,
                                                 digest,
                                                 qint64(5000000000)};
    QTest::newRow("version only")
        << QByteArray(R"({"version":"0.5"})")
        << QVariantList{QStringLiteral("0.5"), QUrl(), QString(), false, QString(), qint64(0)};
    QTest::newRow("mistyped members")
        << QByteArray(R"({"version":"0.5","download_url":7,"release_notes":["x"],"mandatory":"true",)"
                      R"("sha256":123,"size_bytes":"2048"})")
        << QVariantList{QStringLiteral("0.5"), QUrl(), QString(), false, QString(), qint64(0)};
    QTest::newRow("fractional size, numeric flag")
        << QByteArray(R"({"version":"0.5","mandatory":1,"size_bytes":2048.5})")
        << QVariantList{QStringLiteral("0.5"), QUrl(), QString(), false, QString(), qint64(0)};
}

void TstApiClientUpdate::releaseValuesPassedThrough()
{
    QFETCH(QByteArray, body);
    QFETCH(QVariantList, args);

    Rig rig(TestServer::Http);
    rig.server->on("GET", ReleasePath).reply(200, body);
    rig.client->CheckForUpdate();
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.log->names(), QStringList{QStringLiteral("UpdateAvailable")});
    const QVariantList got = rig.log->entries.first().args;
    QCOMPARE(got.size(), args.size());
    QCOMPARE(got[0].toString(), args[0].toString());
    QCOMPARE(got[1].toUrl(), args[1].toUrl());
    QCOMPARE(got[2].toString(), args[2].toString());
    QCOMPARE(got[3].toBool(), args[3].toBool());
    QCOMPARE(got[4].toString(), args[4].toString());
    QCOMPARE(got[5].toLongLong(), args[5].toLongLong());
}

void TstApiClientUpdate::downloadSavesVerifiedInstaller()
{
    Rig rig;
    QVERIFY(rig.signIn());
    rig.server->clearRequests();
    const QByteArray body = payload(300000);
    rig.server->on("GET", "/files/setup.exe")
        .reply(ScriptedReply(200, body).withContentType("application/octet-stream").inChunks(100000, 150));

    const QList<QNetworkReply *> before = rig.watch->replies();
    rig.client->DownloadUpdate(rig.server->url("/files/setup.exe"), sha256Of(body), body.size());
    QNetworkReply *reply = rig.watch->newReply(before);
    QVERIFY(reply);
    QList<QPair<qint64, qint64>> reported;
    connect(reply, &QNetworkReply::downloadProgress, [&reported](qint64 received, qint64 total) {
        reported.append({received, total});
    });
    QVERIFY(rig.watch->waitFor(1));

    // The reply's own progress, report for report, then the saved installer.
    QVERIFY2(reported.size() >= 2, qPrintable(QString::number(reported.size())));
    QCOMPARE(rig.log->progress(), reported);
    QCOMPARE(reported.last(), (QPair<qint64, qint64>(body.size(), body.size())));
    for (const auto &p : reported)
        QCOMPARE(p.second, qint64(body.size()));
    QCOMPARE(rig.log->names().last(), QStringLiteral("UpdateDownloaded"));
    QCOMPARE(rig.log->outcomes().size(), 1);
    QCOMPARE(rig.log->outcomes().first().args, QVariantList{installerPath()});
    QCOMPARE(readFile(installerPath()), body);
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("Zumvari-Update-Setup.exe")});
#ifdef Q_OS_UNIX
    QCOMPARE(modeOf(installerFolder()), 0700);
#endif

    const RecordedRequest request = rig.server->lastRequest();
    QCOMPARE(rig.server->requestCount(), 1);
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, QByteArray("/files/setup.exe"));
    QVERIFY(request.encrypted);
    QVERIFY(!request.hasHeader("Authorization"));
    QVERIFY(!request.hasHeader("Content-Type"));
}

void TstApiClientUpdate::downloadProgressWithoutLength()
{
    Rig rig;
    const QByteArray body = payload(150000, 2);
    rig.server->on("GET", "/setup.exe").reply(ScriptedReply(200, body).withoutLength().inChunks(50000, 150));

    const QList<QNetworkReply *> before = rig.watch->replies();
    rig.client->DownloadUpdate(rig.server->url("/setup.exe"), sha256Of(body), body.size());
    QNetworkReply *reply = rig.watch->newReply(before);
    QVERIFY(reply);
    QList<QPair<qint64, qint64>> reported;
    connect(reply, &QNetworkReply::downloadProgress, [&reported](qint64 received, qint64 total) {
        reported.append({received, total});
    });
    QVERIFY(rig.watch->waitFor(1));

    // Unknown until the end: only the closing report knows the total.
    QVERIFY2(reported.size() >= 2, qPrintable(QString::number(reported.size())));
    QCOMPARE(rig.log->progress(), reported);
    for (qsizetype i = 0; i + 1 < reported.size(); ++i)
        QCOMPARE(reported[i].second, qint64(-1));
    QVERIFY(reported.first().first < body.size());
    QCOMPARE(rig.log->outcomes().size(), 1);
    QCOMPARE(rig.log->outcomes().first().signal, QStringLiteral("UpdateDownloaded"));
    QCOMPARE(readFile(installerPath()), body);
}

void TstApiClientUpdate::upperCaseDigestMatches()
{
    Rig rig;
    const QByteArray body = payload(4096, 3);
    rig.server->on("GET", "/setup.exe").always(ScriptedReply(200, body));
    QString mixed = sha256Of(body);
    for (int i = 0; i < mixed.size(); i += 2)
        mixed[i] = mixed[i].toUpper();

    for (const QString &digest : {sha256Of(body).toUpper(), mixed}) {
        QFile::remove(installerPath());
        rig.log->clear();
        rig.watch->reset();
        rig.client->DownloadUpdate(rig.server->url("/setup.exe"), digest, body.size());
        QVERIFY(rig.watch->waitFor(1));
        QCOMPARE(rig.log->outcomes().size(), 1);
        QCOMPARE(rig.log->outcomes().first().signal, QStringLiteral("UpdateDownloaded"));
        QCOMPARE(readFile(installerPath()), body);
    }
}

void TstApiClientUpdate::failedDownloadKeepsEarlierInstaller_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("bodyDelta"); // body size minus the announced size
    QTest::addColumn<bool>("rightDigest");
    QTest::addColumn<QString>("message"); // exact, or a prefix when it ends in "："

    const QString transfer = QStringLiteral("更新下载失败：");
    // A transfer that ends without a network error reports the reply's plain error string.
    QTest::newRow("one byte short") << "answer" << 200 << -1 << true
                                    << transfer + QStringLiteral("Unknown error");
    QTest::newRow("one byte long") << "answer" << 200 << 1 << true << transfer;
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

    QVERIFY(QDir().mkpath(installerFolder()));
    QVERIFY(writeFile(installerPath(), EarlierInstaller.toUtf8()));

    Rig rig;
    const int size = 64 * 1024;
    const QByteArray expected = payload(size, 4);
    const QByteArray sent =
        bodyDelta > 0 ? expected + payload(bodyDelta, 5) : expected.left(size + bodyDelta);
    Route &route = rig.server->on("GET", "/setup.exe");
    if (kind == QLatin1String("answer"))
        route.reply(status, sent, "application/octet-stream");
    else if (kind == QLatin1String("lying"))
        route.reply(ScriptedReply(status, sent).lyingLength(size));
    else
        route.always(ScriptedReply::close());

    const QString digest = rightDigest ? sha256Of(expected) : sha256Of(payload(size, 6));
    rig.client->DownloadUpdate(rig.server->url("/setup.exe"), digest, size);
    QVERIFY(rig.watch->waitFor(1));

    const QList<Emission> outcomes = rig.log->outcomes();
    QCOMPARE(outcomes.size(), 1);
    QCOMPARE(outcomes.first().signal, QStringLiteral("UpdateDownloadFailed"));
    const QString got = outcomes.first().args.first().toString();
    if (message.endsWith(QChar(0xFF1A))) // "：": the reply's error string follows
        QVERIFY2(got.startsWith(message) && got.size() > message.size(), qPrintable(got));
    else
        QCOMPARE(got, message);

    QCOMPARE(readFile(installerPath()), EarlierInstaller.toUtf8());
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("Zumvari-Update-Setup.exe")});
}

void TstApiClientUpdate::overlongBodyIsCutOffEarly()
{
    Rig rig;
    const int size = 16 * 1024;
    const QByteArray expected = payload(size, 7);
    // 32 pieces 100 ms apart: the whole body would take over three seconds to arrive.
    const QByteArray sent = expected + payload(240 * 1024, 8);
    rig.server->on("GET", "/setup.exe").reply(ScriptedReply(200, sent).inChunks(8 * 1024, 100));

    QElapsedTimer clock;
    clock.start();
    rig.client->DownloadUpdate(rig.server->url("/setup.exe"), sha256Of(expected), size);
    QVERIFY(rig.watch->waitFor(1));
    const qint64 elapsed = clock.elapsed();

    const QList<Emission> outcomes = rig.log->outcomes();
    QCOMPARE(outcomes.size(), 1);
    QCOMPARE(outcomes.first().signal, QStringLiteral("UpdateDownloadFailed"));
    QVERIFY2(outcomes.first().args.first().toString().startsWith(QStringLiteral("更新下载失败：")),
             qPrintable(outcomes.first().args.first().toString()));
    qint64 mostReceived = 0;
    for (const auto &p : rig.log->progress())
        mostReceived = qMax(mostReceived, p.first);
    QVERIFY2(mostReceived > size && mostReceived < sent.size() / 2,
             qPrintable(QString::number(mostReceived)));
    QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
    QVERIFY(!QFile::exists(installerPath()));
}

void TstApiClientUpdate::unusableArgumentsSendNothing_data()
{
    QTest::addColumn<QString>("url"); // "HTTPS" and "HTTP" stand for this test's servers
    QTest::addColumn<int>("digestLength");
    QTest::addColumn<qint64>("size");

    QTest::newRow("http URL") << "HTTP/setup.exe" << 64 << qint64(16);
    QTest::newRow("ftp URL") << "ftp://127.0.0.1/setup.exe" << 64 << qint64(16);
    QTest::newRow("no scheme") << "127.0.0.1/setup.exe" << 64 << qint64(16);
    QTest::newRow("invalid URL") << "https://[::1/setup.exe" << 64 << qint64(16);
    QTest::newRow("empty URL") << "" << 64 << qint64(16);
    QTest::newRow("63-character digest") << "HTTPS/setup.exe" << 63 << qint64(16);
    QTest::newRow("65-character digest") << "HTTPS/setup.exe" << 65 << qint64(16);
    QTest::newRow("empty digest") << "HTTPS/setup.exe" << 0 << qint64(16);
    QTest::newRow("size 0") << "HTTPS/setup.exe" << 64 << qint64(0);
    QTest::newRow("size -1") << "HTTPS/setup.exe" << 64 << qint64(-1);
}

void TstApiClientUpdate::unusableArgumentsSendNothing()
{
    QFETCH(QString, url);
    QFETCH(int, digestLength);
    QFETCH(qint64, size);

    Rig rig;
    TestServer plain;
    const QByteArray body(16, 'x');
    rig.server->on("GET", "/setup.exe").always(ScriptedReply(200, body));
    plain.on("GET", "/setup.exe").always(ScriptedReply(200, body));
    url.replace(QLatin1String("HTTPS"), rig.server->baseUrl().toString());
    url.replace(QLatin1String("HTTP"), plain.baseUrl().toString());
    const QString digest = (sha256Of(body) + sha256Of(body)).left(digestLength);

    const QList<QNetworkReply *> before = rig.watch->replies();
    rig.client->DownloadUpdate(QUrl(url), digest, size);
    // Refused from within the call, without making a reply.
    QCOMPARE(rig.log->names(), QStringList{QStringLiteral("UpdateDownloadFailed")});
    QCOMPARE(rig.log->entries.first().args, QVariantList{QStringLiteral("更新信息不完整")});
    QVERIFY(!rig.watch->newReply(before));

    // A usable download made afterwards is the only request either server sees.
    rig.client->DownloadUpdate(rig.server->url("/setup.exe?after"), sha256Of(body), body.size());
    QVERIFY(rig.watch->waitFor(1));
    QCOMPARE(rig.log->outcomes().size(), 2);
    QCOMPARE(rig.log->outcomes().last().signal, QStringLiteral("UpdateDownloaded"));
    QCOMPARE(rig.server->requestCount(), 1);
    QCOMPARE(rig.server->lastRequest().target, QByteArray("/setup.exe?after"));
    QCOMPARE(plain.requestCount(), 0);
}

void TstApiClientUpdate::installerFolderNotCreatable_data()
{
    QTest::addColumn<QString>("tmpdir"); // empty: the private one, with a file where the folder goes
    QTest::newRow("temporary folder under a regular file") << "blocker/tmp";
    QTest::newRow("temporary folder missing") << "gone";
    QTest::newRow("installer folder is a regular file") << "";
}

void TstApiClientUpdate::installerFolderNotCreatable()
{
    QFETCH(QString, tmpdir);

    const QString blocker = QString::fromLocal8Bit(originalTmpdir) + QLatin1String("/blocker");
    QVERIFY(writeFile(blocker, "a file, not a folder"));
    if (!tmpdir.isEmpty())
        qputenv("TMPDIR",
                QFile::encodeName(QString::fromLocal8Bit(originalTmpdir) + QLatin1Char('/') + tmpdir));
    else
        QVERIFY(writeFile(installerFolder(), "a file, not a folder"));

    Rig rig;
    const QByteArray body = payload(2048, 9);
    rig.server->on("GET", "/setup.exe").reply(200, body);
    rig.client->DownloadUpdate(rig.server->url("/setup.exe"), sha256Of(body), body.size());
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.log->outcomes().size(), 1);
    QCOMPARE(rig.log->outcomes().first().signal, QStringLiteral("UpdateDownloadFailed"));
    QCOMPARE(rig.log->outcomes().first().args, QVariantList{QStringLiteral("无法创建更新临时目录")});
    QCOMPARE(rig.log->progress().last().first, qint64(body.size()));
    QVERIFY2(!QFileInfo::exists(installerPath()), qPrintable(installerPath()));
    QFile::remove(blocker);
}

void TstApiClientUpdate::installerNotWritable()
{
    // A folder where the installer should be: nothing can be saved under that name.
    QVERIFY(QDir().mkpath(installerPath() + QLatin1String("/inside")));

    Rig rig;
    const QByteArray body = payload(2048, 10);
    rig.server->on("GET", "/setup.exe").reply(200, body);
    rig.client->DownloadUpdate(rig.server->url("/setup.exe"), sha256Of(body), body.size());
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.log->outcomes().size(), 1);
    QCOMPARE(rig.log->outcomes().first().signal, QStringLiteral("UpdateDownloadFailed"));
    QCOMPARE(rig.log->outcomes().first().args, QVariantList{QStringLiteral("无法保存更新安装程序")});
    QVERIFY(QFileInfo(installerPath()).isDir());
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("Zumvari-Update-Setup.exe")});
}

void TstApiClientUpdate::sharedInstallerFolderTightened()
{
#ifndef Q_OS_UNIX
    QSKIP("file modes are a Unix matter");
#else
    // Our own folder left open to everybody, with an earlier installer in it.
    QVERIFY(QDir().mkpath(installerFolder()));
    QVERIFY(writeFile(installerPath(), EarlierInstaller.toUtf8()));
    QVERIFY(::chmod(QFile::encodeName(installerFolder()).constData(), 0777) == 0);
    QCOMPARE(modeOf(installerFolder()), 0777);

    Rig rig;
    const QByteArray body = payload(2048, 11);
    rig.server->on("GET", "/setup.exe").reply(200, body);
    rig.client->DownloadUpdate(rig.server->url("/setup.exe"), sha256Of(body), body.size());
    QVERIFY(rig.watch->waitFor(1));

    QCOMPARE(rig.log->outcomes().size(), 1);
    QCOMPARE(rig.log->outcomes().first().signal, QStringLiteral("UpdateDownloaded"));
    QCOMPARE(modeOf(installerFolder()), 0700);
    QCOMPARE(readFile(installerPath()), body);
#endif
}

void TstApiClientUpdate::twoDownloadsAtOnce()
{
    Rig rig;
    const QByteArray first = payload(50000, 12);
    const QByteArray second = payload(70000, 13);
    rig.server->on("GET", "/first.exe").reply(ScriptedReply(200, first).delayed(500));
    rig.server->on("GET", "/second.exe").reply(200, second);

    rig.client->DownloadUpdate(rig.server->url("/first.exe"), sha256Of(first), first.size());
    rig.client->DownloadUpdate(rig.server->url("/second.exe"), sha256Of(second), second.size());
    QVERIFY(rig.watch->waitFor(2));

    // Each is checked against its own digest and size; the one that finishes last is on disk.
    const QList<Emission> outcomes = rig.log->outcomes();
    QCOMPARE(outcomes.size(), 2);
    QCOMPARE(outcomes[0].signal, QStringLiteral("UpdateDownloaded"));
    QCOMPARE(outcomes[1].signal, QStringLiteral("UpdateDownloaded"));
    QCOMPARE(outcomes[0].args, QVariantList{installerPath()});
    QCOMPARE(outcomes[1].args, QVariantList{installerPath()});
    QCOMPARE(readFile(installerPath()), first);
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("Zumvari-Update-Setup.exe")});
}

ZUMVARI_TEST_MAIN(TstApiClientUpdate)
#include "tst_apiclient_update.moc"
