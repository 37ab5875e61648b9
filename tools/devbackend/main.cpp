// devbackend: the backend HTTPS/JSON API on loopback, for development and end-to-end tests.
//
// Output contract (scripts and tests read it): the first line contains "127.0.0.1:PORT", the
// demo accounts follow, then one line per answered request. See README.md beside this file.

#include "demodata.h"
#include "devbackend.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Scripts read these lines while the process runs: each goes out whole and at once.
void printLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

[[noreturn]] void die(const QString &message, int code = 1)
{
    const QByteArray bytes = QStringLiteral("devbackend: %1\n").arg(message).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    std::exit(code);
}

QByteArray readFile(const QString &path, const QString &what)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        die(QStringLiteral("cannot read %1 %2: %3").arg(what, path, file.errorString()), 2);
    return file.readAll();
}

QSslConfiguration loadTls(const QString &certPath, const QString &keyPath)
{
    if (!QSslSocket::supportsSsl())
        die(QStringLiteral("this Qt has no TLS backend"));
    const QList<QSslCertificate> chain =
        QSslCertificate::fromData(readFile(certPath, QStringLiteral("certificate")));
    if (chain.isEmpty())
        die(QStringLiteral("no PEM certificate in %1").arg(certPath), 2);
    const QByteArray keyPem = readFile(keyPath, QStringLiteral("key"));
    QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    if (key.isNull())
        die(QStringLiteral("no unencrypted PEM RSA or EC private key in %1").arg(keyPath), 2);

    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setLocalCertificateChain(chain);
    conf.setPrivateKey(key);
    conf.setPeerVerifyMode(QSslSocket::VerifyNone);
    return conf;
}

ReleaseInfo loadRelease(const QCommandLineParser &args, const QString &version)
{
    ReleaseInfo release;
    release.version = version;
    release.mandatory = args.isSet(QStringLiteral("release-mandatory"));
    release.notes = args.isSet(QStringLiteral("release-notes"))
                        ? args.value(QStringLiteral("release-notes"))
                        : QStringLiteral("Zumvari %1 开发版。").arg(version);

    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (args.isSet(QStringLiteral("installer"))) {
        const QString path = args.value(QStringLiteral("installer"));
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            die(QStringLiteral("cannot read installer %1: %2").arg(path, file.errorString()), 2);
        if (file.size() < 1)
            die(QStringLiteral("installer %1 is empty").arg(path), 2);
        if (!hash.addData(&file))
            die(QStringLiteral("cannot read installer %1: %2").arg(path, file.errorString()), 2);
        release.filePath = QFileInfo(path).absoluteFilePath();
        release.fileName = QFileInfo(path).fileName();
        release.sizeBytes = file.size();
    } else {
        // Without an installer the download still works end to end, with a small stand-in file.
        release.content =
            QStringLiteral("Zumvari %1 development placeholder installer\n").arg(version).toUtf8();
        release.fileName = QStringLiteral("Zumvari-Setup-%1.exe").arg(version);
        release.sizeBytes = release.content.size();
        hash.addData(release.content);
    }
    release.sha256 = QString::fromLatin1(hash.result().toHex());
    return release;
}

#ifdef Q_OS_UNIX
int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

void stopOnSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        die(QStringLiteral("cannot create the signal pipe"));
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [notifier] {
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("devbackend"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Development stand-in for the Zumvari backend API, on 127.0.0.1 only."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("TCP port on 127.0.0.1; 0 picks a free one."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("tls-cert"), QStringLiteral("PEM certificate (chain) to serve HTTPS with."),
         QStringLiteral("FILE")},
        {QStringLiteral("tls-key"), QStringLiteral("PEM private key of that certificate."),
         QStringLiteral("FILE")},
        {QStringLiteral("release-version"), QStringLiteral("Version of the latest client release."),
         QStringLiteral("V"), QStringLiteral("0.4.0")},
        {QStringLiteral("release-notes"), QStringLiteral("Release notes of that release."),
         QStringLiteral("TEXT")},
        {QStringLiteral("release-mandatory"), QStringLiteral("Mark the release as mandatory.")},
        {QStringLiteral("installer"), QStringLiteral("Installer file to serve at /downloads/<its name>."),
         QStringLiteral("FILE")},
    });
    if (!parser.parse(QCoreApplication::arguments()))
        die(parser.errorText() + QStringLiteral(" (see --help)"), 2);
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        die(QStringLiteral("unexpected argument %1 (see --help)").arg(parser.positionalArguments().first()),
            2);

    bool portOk = false;
    const uint port = parser.value(QStringLiteral("port")).toUInt(&portOk);
    if (!portOk || port > 65535)
        die(QStringLiteral("--port needs a number from 0 to 65535"), 2);
    if (parser.isSet(QStringLiteral("tls-cert")) != parser.isSet(QStringLiteral("tls-key")))
        die(QStringLiteral("--tls-cert and --tls-key go together"), 2);
    const QString version = parser.value(QStringLiteral("release-version"));
    if (version.isEmpty())
        die(QStringLiteral("--release-version must not be empty"), 2);

    const QDateTime now = QDateTime::currentDateTimeUtc();
    QString error;
    std::optional<DemoData> data =
        parseDemoData(readFile(QStringLiteral(":/devbackend/seed.json"), QStringLiteral("seed")), now, &error);
    if (!data)
        die(error, 2);
    const QList<DemoAccount> accounts = data->accounts;

    std::optional<QSslConfiguration> tls;
    if (parser.isSet(QStringLiteral("tls-cert")))
        tls = loadTls(parser.value(QStringLiteral("tls-cert")), parser.value(QStringLiteral("tls-key")));

    const ReleaseInfo release = loadRelease(parser, version);
    DevBackend backend(std::move(*data), release);
    if (!backend.listenLoopback(quint16(port), tls, &error))
        die(QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(error));
#ifdef Q_OS_UNIX
    stopOnSignals(&app);
#endif

    printLine(QStringLiteral("devbackend listening on %1").arg(backend.baseUrl().toString()));
    for (const DemoAccount &a : accounts) {
        printLine(QStringLiteral("demo account: %1 password: %2 (%3, %4, expires %5)")
                      .arg(a.account, a.password, a.kind,
                           membershipActive(a, now) ? QStringLiteral("active") : QStringLiteral("inactive"),
                           a.expiresAt.toString(Qt::ISODate)));
    }
    printLine(QStringLiteral("release: %1 mandatory=%2 size=%3 sha256=%4 url=%5")
                  .arg(release.version, release.mandatory ? QStringLiteral("true") : QStringLiteral("false"))
                  .arg(release.sizeBytes)
                  .arg(release.sha256, backend.downloadUrl().toString(QUrl::FullyEncoded)));
    backend.log = printLine;

    const int code = app.exec();
    printLine(QStringLiteral("devbackend stopped"));
    return code;
}
