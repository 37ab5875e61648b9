// The loopback server is what every client test trusts to tell it what went over the wire; these cases
// keep it honest against Qt's own HTTP stack and against a raw socket.
#include "testserver.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

namespace {

struct Outcome
{
    bool finished = false;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray reason;
    QByteArray body;
    QByteArray contentType;
    QByteArray extra;
    QList<QPair<qint64, qint64>> progress;
};

Outcome finish(QNetworkReply *reply)
{
    Outcome o;
    QObject::connect(reply, &QNetworkReply::downloadProgress, [&o](qint64 received, qint64 total) {
        o.progress.append({received, total});
    });
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        done.wait(10000);
    o.finished = reply->isFinished();
    o.error = reply->error();
    o.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    o.reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
    o.body = reply->isOpen() ? reply->readAll() : QByteArray();
    o.contentType = reply->rawHeader("Content-Type");
    o.extra = reply->rawHeader("X-Extra");
    delete reply;
    return o;
}

QByteArray pattern(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char('a' + i % 26);
    return data;
}

} // namespace

class TstTestServer : public QObject
{
    Q_OBJECT
private slots:
    void recordsRequestsAsSent();
    void parsesSplitChunkedAndBackToBackRequests();
    void answersQueueThenStandingReplyThen404();
    void delaysStallsAndCloses();
    void streamsSlowlyAndLiesAboutLength();
    void httpsWithTheTestCa();
};

void TstTestServer::recordsRequestsAsSent()
{
    TestServer server;
    QVERIFY(server.isListening());
    QVERIFY(server.port() != 0);
    QCOMPARE(server.baseUrl(), QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.port())));
    server.on("GET", "/api/v1/games/a b/regions").reply(200, R"({"items":[]})");
    server.on("POST", "/api/v1/auth/login")
        .reply(ScriptedReply::json(200, "{}").withHeader("X-Extra", "yes"));

    QNetworkAccessManager nam;
    QUrl url = server.baseUrl();
    url.setPath(QStringLiteral("/api/v1/games/a b/regions"));
    url.setQuery(QStringLiteral("channel=alpha"));
    const Outcome get = finish(nam.get(QNetworkRequest(url)));
    QVERIFY(get.finished);
    QCOMPARE(get.status, 200);
    QCOMPARE(get.body, QByteArray(R"({"items":[]})"));
    QCOMPARE(get.contentType, QByteArray("application/json"));

    QNetworkRequest login(server.url("/api/v1/auth/login"));
    login.setRawHeader("Authorization", "Bearer ");
    login.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const QByteArray body = R"({"account":"张三","password":"p w"})";
    const Outcome post = finish(nam.post(login, body));
    QCOMPARE(post.status, 200);
    QCOMPARE(post.extra, QByteArray("yes"));

    const QList<RecordedRequest> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    const RecordedRequest &first = requests[0];
    QCOMPARE(first.method, QByteArray("GET"));
    QCOMPARE(first.target, QByteArray("/api/v1/games/a%20b/regions?channel=alpha"));
    QCOMPARE(first.version, QByteArray("HTTP/1.1"));
    QCOMPARE(first.path(), QByteArray("/api/v1/games/a%20b/regions"));
    QCOMPARE(first.decodedPath(), QByteArray("/api/v1/games/a b/regions"));
    QCOMPARE(first.query(), QByteArray("channel=alpha"));
    QVERIFY(first.body.isEmpty());
    QVERIFY(!first.hasHeader("Authorization"));
    QVERIFY(!first.hasHeader("Content-Type"));

    const RecordedRequest &second = requests[1];
    QCOMPARE(second.method, QByteArray("POST"));
    QCOMPARE(second.body, body);
    QCOMPARE(second.header("authorization"), QByteArray("Bearer "));
    QCOMPARE(second.headerValues("CONTENT-TYPE"), QList<QByteArray>{"application/json"});
    QCOMPARE(second.header("Content-Length"), QByteArray::number(body.size()));
    QVERIFY(second.header("X-Missing").isNull());
    QCOMPARE(server.lastRequest().target, second.target);

    // Qt keeps the connection alive between the two.
    QCOMPARE(first.connection, 0);
    QCOMPARE(second.connection, 0);
    QCOMPARE(server.connectionCount(), 1);
}

void TstTestServer::parsesSplitChunkedAndBackToBackRequests()
{
    TestServer server;
    server.on("PUT", "/up").always(ScriptedReply(201, "ok"));
    QTcpSocket socket;
    QByteArray received;
    connect(&socket, &QTcpSocket::readyRead, this, [&] { received += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(socket.waitForConnected(5000));

    const QList<QByteArray> pieces = {
        "PUT /up?x=%41 HT",
        "TP/1.1\r\nHost: a\r\nX-Dup: one\r\nx-dup:  two \r",
        "\nTransfer-Encoding: chunked\r\n\r\n3\r\nab",
        "c\r\n2;ext=1\r\nde\r\n0\r\n\r",
    };
    for (const QByteArray &piece : pieces) {
        socket.write(piece);
        QTest::qWait(30);
        QCOMPARE(server.requestCount(), 0);
    }
    // The end of one request and a whole second one in the same segment.
    socket.write("\nPUT /up HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz");
    QVERIFY(server.waitForRequests(2));

    const RecordedRequest first = server.requests().at(0);
    QCOMPARE(first.target, QByteArray("/up?x=%41"));
    QCOMPARE(first.body, QByteArray("abcde"));
    QCOMPARE(first.headerValues("X-DUP"), (QList<QByteArray>{"one", "two "}));
    QList<QByteArray> names;
    for (const auto &h : first.headers)
        names.append(h.first);
    QCOMPARE(names, (QList<QByteArray>{"Host", "X-Dup", "x-dup", "Transfer-Encoding"}));
    QCOMPARE(server.requests().at(1).body, QByteArray("xyz"));

    const QByteArray answer = "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok";
    QTRY_COMPARE(received, answer + answer);
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
}

void TstTestServer::answersQueueThenStandingReplyThen404()
{
    TestServer server;
    server.on("GET", "/q")
        .reply(201, "first")
        .reply(ScriptedReply(202, "second").withReason("Fine"))
        .always(ScriptedReply(200, "standing"));
    server.on("POST", "/echo").handle([](const RecordedRequest &r) { return ScriptedReply(200, r.body); });
    QNetworkAccessManager nam;
    const QNetworkRequest q(server.url("/q"));

    const Outcome a = finish(nam.get(q));
    QCOMPARE(a.status, 201);
    QCOMPARE(a.body, QByteArray("first"));
    QCOMPARE(a.contentType, QByteArray("application/json"));
    const Outcome b = finish(nam.get(q));
    QCOMPARE(b.status, 202);
    QCOMPARE(b.reason, QByteArray("Fine"));
    QCOMPARE(b.body, QByteArray("second"));
    QVERIFY(b.contentType.isEmpty());
    for (int i = 0; i < 2; ++i) {
        const Outcome c = finish(nam.get(q));
        QCOMPARE(c.status, 200);
        QCOMPARE(c.body, QByteArray("standing"));
    }

    QNetworkRequest echo(server.url("/echo"));
    echo.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("text/plain"));
    QCOMPARE(finish(nam.post(echo, QByteArray("mirror"))).body, QByteArray("mirror"));

    // Unmatched: a path nobody scripted, and a scripted path with another method.
    const Outcome missing = finish(nam.get(QNetworkRequest(server.url("/nowhere"))));
    QCOMPARE(missing.status, 404);
    QVERIFY(missing.body.isEmpty());
    QCOMPARE(finish(nam.deleteResource(q)).status, 404);
    QCOMPARE(server.requestCount(), 7);
    QCOMPARE(server.requests().at(5).target, QByteArray("/nowhere"));
    QCOMPARE(server.lastRequest().method, QByteArray("DELETE"));
}

void TstTestServer::delaysStallsAndCloses()
{
    TestServer server;
    server.on("GET", "/slow").reply(ScriptedReply(200, "slow").delayed(300));
    server.on("GET", "/fast").reply(200, "fast");
    server.on("GET", "/stall").always(ScriptedReply::stall());
    server.on("GET", "/close").always(ScriptedReply::close());
    QNetworkAccessManager nam;

    // Delays do not hold up other connections: the later request finishes first.
    QStringList order;
    QElapsedTimer clock;
    clock.start();
    qint64 slowMs = -1;
    QNetworkReply *slow = nam.get(QNetworkRequest(server.url("/slow")));
    connect(slow, &QNetworkReply::finished, this, [&] {
        order << QStringLiteral("slow");
        slowMs = clock.elapsed();
    });
    QVERIFY(server.waitForRequests(1));
    QNetworkReply *fast = nam.get(QNetworkRequest(server.url("/fast")));
    connect(fast, &QNetworkReply::finished, this, [&] { order << QStringLiteral("fast"); });
    QTRY_COMPARE(order, (QStringList{QStringLiteral("fast"), QStringLiteral("slow")}));
    QVERIFY2(slowMs >= 290, qPrintable(QString::number(slowMs)));
    QCOMPARE(slow->readAll(), QByteArray("slow"));
    delete slow;
    delete fast;

    // A stall leaves the client to its own time-out; the request was still recorded.
    server.clearRequests();
    QNetworkRequest stalled(server.url("/stall"));
    stalled.setTransferTimeout(300);
    const Outcome s = finish(nam.get(stalled));
    QVERIFY(s.finished);
    QCOMPARE(s.error, QNetworkReply::OperationCanceledError);
    QCOMPARE(s.status, 0);
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(server.lastRequest().target, QByteArray("/stall"));

    // Closing without a reply: Qt retries an unanswered request on a fresh connection before it gives up,
    // so the route keeps closing for every attempt.
    server.clearRequests();
    const Outcome c = finish(nam.get(QNetworkRequest(server.url("/close"))));
    QVERIFY(c.finished);
    QCOMPARE(c.error, QNetworkReply::RemoteHostClosedError);
    QCOMPARE(c.status, 0);
    QVERIFY(server.requestCount() >= 1);
}

void TstTestServer::streamsSlowlyAndLiesAboutLength()
{
    TestServer server;
    const QByteArray file = pattern(4096);
    server.on("GET", "/file")
        .reply(ScriptedReply(200, file).withContentType("application/octet-stream").inChunks(1024, 120));
    server.on("GET", "/short").reply(ScriptedReply(200, file.left(4095)).lyingLength(4096));
    server.on("GET", "/unsized").reply(ScriptedReply(200, file).withoutLength().inChunks(1024, 120));
    QNetworkAccessManager nam;

    const Outcome slow = finish(nam.get(QNetworkRequest(server.url("/file"))));
    QCOMPARE(slow.error, QNetworkReply::NoError);
    QCOMPARE(slow.body, file);
    QVERIFY2(slow.progress.size() >= 2, qPrintable(QString::number(slow.progress.size())));
    QVERIFY(slow.progress.first().first < 4096); // reported while the body was still coming
    QCOMPARE(slow.progress.first().second, qint64(4096));
    QCOMPARE(slow.progress.last(), (QPair<qint64, qint64>(4096, 4096)));

    const Outcome lying = finish(nam.get(QNetworkRequest(server.url("/short"))));
    QVERIFY(lying.finished);
    QCOMPARE(lying.error, QNetworkReply::RemoteHostClosedError);
    QCOMPARE(lying.status, 200);
    QCOMPARE(lying.body, file.left(4095));

    const Outcome unsized = finish(nam.get(QNetworkRequest(server.url("/unsized"))));
    QCOMPARE(unsized.error, QNetworkReply::NoError);
    QCOMPARE(unsized.body, file);
    QVERIFY(!unsized.progress.isEmpty());
    QCOMPARE(unsized.progress.first().second, qint64(-1));
}

void TstTestServer::httpsWithTheTestCa()
{
    const TestCertificates &certs = testCertificates();
    QCOMPARE(&testCertificates(), &certs); // made once
    QCOMPARE(certs.leaf.issuerDisplayName(), certs.ca.subjectDisplayName());
    const auto names = certs.leaf.subjectAlternativeNames();
    QVERIFY(names.values(QSsl::IpAddressEntry).contains(QStringLiteral("127.0.0.1")));
    QVERIFY(names.values(QSsl::DnsEntry).contains(QStringLiteral("localhost")));
    QVERIFY(!QSslCertificate::verify({certs.leaf}, QStringLiteral("127.0.0.1")).isEmpty());

    trustTestCa();
    trustTestCa();
    QCOMPARE(QSslConfiguration::defaultConfiguration().caCertificates().count(certs.ca), 1);
    QVERIFY(QSslCertificate::verify({certs.leaf}, QStringLiteral("127.0.0.1")).isEmpty());

    TestServer server(TestServer::Https);
    QVERIFY(server.isListening());
    QCOMPARE(server.baseUrl().scheme(), QStringLiteral("https"));
    server.on("GET", "/installer.exe")
        .reply(ScriptedReply(200, "MZ").withContentType("application/octet-stream"));
    QNetworkAccessManager nam;
    const Outcome ok = finish(nam.get(QNetworkRequest(server.url("/installer.exe"))));
    QCOMPARE(ok.error, QNetworkReply::NoError);
    QCOMPARE(ok.body, QByteArray("MZ"));
    QVERIFY(server.lastRequest().encrypted);

    // A server whose chain leads to another CA is refused before any request is sent.
    TestServer stranger(TestServer::Https);
    stranger.setCertificates(generateTestCertificates());
    stranger.on("GET", "/installer.exe").reply(200, "MZ");
    const Outcome refused = finish(nam.get(QNetworkRequest(stranger.url("/installer.exe"))));
    QVERIFY(refused.finished);
    QCOMPARE(refused.error, QNetworkReply::SslHandshakeFailedError);
    QVERIFY(refused.body.isEmpty());
    QCOMPARE(stranger.connectionCount(), 1);
    QCOMPARE(stranger.requestCount(), 0);
}

QTEST_GUILESS_MAIN(TstTestServer)
#include "tst_testserver.moc"
