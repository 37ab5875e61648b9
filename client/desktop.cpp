#include "desktop.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTranslator>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const QByteArray ShowMessage = "show";

// The account's own folder: nobody else can make names in it.
QString ownFolder()
{
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation); // under the profile
#else
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation); // checked to be 0700
#endif
}

} // namespace

bool installQtTranslations()
{
    auto *translator = new QTranslator(QCoreApplication::instance());
    // Windows' deployment puts them beside the program; Linux packages in Qt's own folder. The
    // file for all of Qt's modules (combined, or naming its parts) comes first, qtbase's own next.
    const QStringList folders{QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
                              QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    for (const QString &folder : folders) {
        for (const char *name : {"qt_zh_CN", "qtbase_zh_CN"}) {
            if (translator->load(QLatin1String(name), folder))
                return QCoreApplication::installTranslator(translator);
        }
    }
    delete translator;
    return false;
}

InstanceGuard::InstanceGuard() : lock(ownFolder() + QStringLiteral("/zumvari-instance.lock"))
{
    // Only a dead holder's lock is stale, however long the living one has run.
    lock.setStaleLockTime(0);
}

QString InstanceGuard::serverName()
{
#ifdef Q_OS_WIN
    // Pipe names are machine-wide: the account's name keeps each account's instance apart.
    return QStringLiteral("zumvari-instance-%1-%2")
        .arg(qEnvironmentVariable("USERDOMAIN"), qEnvironmentVariable("USERNAME"));
#else
    return ownFolder() + QStringLiteral("/zumvari-instance-%1").arg(::getuid());
#endif
}

bool InstanceGuard::claim()
{
    if (!lock.tryLock()) {
        if (lock.error() != QLockFile::LockFailedError)
            return true; // an unusable folder: better a client unguarded than none
        askToShow();
        return false;
    }
    // Only the lock's holder may clear what a crashed holder left.
    QLocalServer::removeServer(serverName());
    server.setSocketOptions(QLocalServer::UserAccessOption);
    // A name someone else took costs only the showing; the lock still guards.
    server.listen(serverName());
    return true;
}

void InstanceGuard::onShow(QObject *context, const std::function<void()> &show)
{
    QObject::connect(&server, &QLocalServer::newConnection, context, [this, context, show] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, context, [socket, show] {
                if (socket->bytesAvailable() < ShowMessage.size())
                    return;
                const bool asked = socket->read(ShowMessage.size()) == ShowMessage;
                socket->abort();
                socket->deleteLater();
                if (asked)
                    show();
            });
        }
    });
}

void InstanceGuard::askToShow()
{
#ifdef Q_OS_WIN
    // The member started this process, so it may hand the foreground on to the running window.
    AllowSetForegroundWindow(ASFW_ANY);
#endif
    // The holder may have taken the lock a moment ago and not be listening yet.
    QLocalSocket socket;
    for (int attempt = 0; attempt < 20; ++attempt) {
        socket.connectToServer(serverName());
        if (socket.waitForConnected(500)) {
            socket.write(ShowMessage);
            socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
            return;
        }
        QThread::msleep(100);
    }
}
