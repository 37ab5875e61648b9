// libFuzzer target: the whole client exchange, callControlService over a real local socket,
// against a service thread that answers each request with the fuzz input and hangs up. The
// first input byte chooses whether the reply carries the request's own id; the rest is the
// reply as it goes on the wire. The result is checked against a plain reading of those bytes.

#include "servicechannel.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QString>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_service_exchange: broken: %s\n", what);
        std::abort();
    }
}

quint64 littleEndian(const char *bytes, int width)
{
    quint64 value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes[i]);
    return value;
}

bool readAll(int fd, char *buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t got = ::read(fd, buffer + done, length - done);
        if (got <= 0)
            return false;
        done += size_t(got);
    }
    return true;
}

void writeAll(int fd, const char *buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        // The client may hang up early, when it refuses the header: not an error here.
        const ssize_t sent = ::send(fd, buffer + done, length - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        done += size_t(sent);
    }
}

// The service: one connection at a time, one request each, answered from `script`.
struct Service
{
    QString path;
    int listener = -1;
    QMutex mutex;
    QByteArray script; // first byte: bit 0 = echo the request id; then the reply bytes
    quint64 lastRequestId = 0;

    void serve()
    {
        for (;;) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            char request[20];
            if (readAll(fd, request, sizeof request)) {
                QByteArray reply;
                {
                    QMutexLocker lock(&mutex);
                    lastRequestId = littleEndian(request + 8, 8);
                    reply = script.mid(1);
                    if (!script.isEmpty() && (script.at(0) & 1) && reply.size() >= 16) {
                        for (int i = 0; i < 8; ++i)
                            reply[8 + i] = char((lastRequestId >> (8 * i)) & 0xff);
                    }
                }
                writeAll(fd, reply.constData(), size_t(reply.size()));
            }
            ::shutdown(fd, SHUT_WR);
            ::close(fd);
        }
    }
};

Service *service = nullptr;
std::string socketFolder;

void removeSocketFolder()
{
    ::unlink((socketFolder + "/control").c_str());
    ::rmdir(socketFolder.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Socket notifiers want an application object; it lives as long as the process.
    static QCoreApplication app(*argc, *argv);

    std::string folder = "/tmp/zumvari-fuzz-XXXXXX";
    require(::mkdtemp(folder.data()) != nullptr, "private folder");
    service = new Service;
    service->path = QString::fromStdString(folder + "/control");

    service->listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    require(service->listener >= 0, "socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = folder + "/control";
    require(path.size() < sizeof address.sun_path, "short socket path");
    std::memcpy(address.sun_path, path.c_str(), path.size());
    require(::bind(service->listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0, "bind");
    require(::listen(service->listener, 4) == 0, "listen");
    socketFolder = folder;
    std::atexit(removeSocketFolder);
    std::thread([] { service->serve(); }).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray script(reinterpret_cast<const char *>(data), qsizetype(size));
    {
        QMutexLocker lock(&service->mutex);
        service->script = script;
    }
    const ServiceReply reply = callControlService(ServiceCommand::Status, QByteArray(), service->path);
    quint64 requestId;
    {
        QMutexLocker lock(&service->mutex);
        requestId = service->lastRequestId;
    }

    // What the reply bytes say, read plainly.
    QByteArray wire = script.mid(1);
    if (!script.isEmpty() && (script.at(0) & 1) && wire.size() >= 16) {
        for (int i = 0; i < 8; ++i)
            wire[8 + i] = char((requestId >> (8 * i)) & 0xff);
    }
    const char *bytes = wire.constData();
    const QString refused = QStringLiteral("服务拒绝了请求");
    if (wire.size() < 24 || littleEndian(bytes, 4) != 0x47414343 || littleEndian(bytes + 4, 2) != 1 ||
        littleEndian(bytes + 8, 8) != requestId || littleEndian(bytes + 20, 4) > 65536) {
        require(!reply.ok && reply.text.isEmpty() && reply.error == QStringLiteral("服务响应格式不正确"),
                "a bad or short header is a format error");
        return 0;
    }
    const qsizetype length = qsizetype(littleEndian(bytes + 20, 4));
    if (wire.size() - 24 < length) {
        require(!reply.ok && reply.text.isEmpty() && reply.error == QStringLiteral("读取服务响应失败"),
                "a short payload is a read failure");
        return 0;
    }
    const QString text = QString::fromUtf8(wire.mid(24, length));
    require(reply.text == text, "the payload, decoded as UTF-8, is the text");
    if (littleEndian(bytes + 16, 4) != 0)
        require(!reply.ok && reply.error == refused, "a non-zero status is a refusal");
    else
        require(reply.ok && reply.error.isEmpty(), "status 0 is success");
    return 0;
}
