// Who may serve the control channel: real Unix sockets made and listened on by a child of this
// (root) suite that became the account `nobody`. The mingw-w64 check compiles the Windows side.

#include "clienttest.h"
#include "serveridentity.h"
#include "servicechannel.h"

#include <QDir>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

class ServerIdentityTest : public QObject
{
    Q_OBJECT

private slots:
    void otherUnixAccount();
};

void ServerIdentityTest::otherUnixAccount()
{
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr)
        return QTest::qSkip("serving as `nobody` needs root; this run is not root", __FILE__, __LINE__);
    char folder[] = "/tmp/zumvari-squat-XXXXXX";
    sockaddr_un address{AF_UNIX, {}};
    int rootPair[2], ownPair[2], status, bytes[8], server = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    QVERIFY(mkdtemp(folder) && chown(folder, nobody->pw_uid, gid_t(-1)) == 0 &&
            socketpair(AF_UNIX, SOCK_STREAM, 0, rootPair) == 0);
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/channel", folder);
    // A child that became `nobody` trusts a socket made by root and one made by itself, and listens
    // on the channel: the listening socket, still open here, keeps the account it listened on.
    if (fork() == 0) {
        const bool trusted = setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0 &&
                             socketPeerIsRootOrSelf(rootPair[0]) &&
                             socketpair(AF_UNIX, SOCK_STREAM, 0, ownPair) == 0 &&
                             socketPeerIsRootOrSelf(ownPair[0]);
        const bool listening = bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        _exit(trusted && listening && listen(server, 1) == 0 ? 0 : 1);
    }
    QVERIFY(wait(&status) > 0 && status == 0);
    const ServiceReply reply = callControlService(ServiceCommand::Start, "{\"private_key\":\"secret\"}",
                                                  QString::fromLatin1(address.sun_path));
    // What the squatter holds now, without waiting: 0, the end of input, once the client closed
    // without a byte (a connection never made or left open fails at once, too).
    const ssize_t received = recv(accept(server, nullptr, nullptr), bytes, sizeof bytes, MSG_DONTWAIT);
    QDir(QString::fromLatin1(folder)).removeRecursively();
    QCOMPARE(received, ssize_t(0));
    QCOMPARE(reply.error, QStringLiteral("本地加速服务身份验证失败"));
}

ZUMVARI_TEST_MAIN(ServerIdentityTest)
#include "tst_serveridentity.moc"
