#include "clienttest.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cstdlib>
#include <string>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace ClientTest {

namespace {
QByteArray privateRoot;

void removePrivateRoot()
{
    if (!privateRoot.isEmpty())
        QDir(QString::fromLocal8Bit(privateRoot)).removeRecursively();
}
} // namespace

void isolateProcess()
{
#ifdef Q_OS_UNIX
    // A short private folder: Unix socket paths are limited to about 100 bytes.
    std::string pattern = "/tmp/zumvari-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        qFatal("cannot create a private temporary folder");
    const QByteArray root(pattern.c_str());
    privateRoot = root;
    std::atexit(removePrivateRoot);
    const QByteArray config = root + "/config";
    const QByteArray runtime = root + "/runtime";
    QDir().mkpath(QString::fromLocal8Bit(config));
    QDir().mkpath(QString::fromLocal8Bit(runtime));
    QFile::setPermissions(QString::fromLocal8Bit(runtime),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("TMPDIR", root);
    qputenv("XDG_CONFIG_HOME", config);
    qputenv("XDG_RUNTIME_DIR", runtime);
#endif
    // Tests point the client at their own servers; never at a backend of the environment.
    qunsetenv("DIVE_DIZUVIVIVID_API_URL");
}

void setApplicationIdentity()
{
    QApplication::setApplicationName(QStringLiteral("ZUMVARI"));
    QApplication::setApplicationVersion(QStringLiteral("0.4.0"));
    QApplication::setOrganizationName(QStringLiteral("ZUMVARI COM LLC"));
}

} // namespace ClientTest
