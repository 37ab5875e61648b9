#pragma once

// Test main for the client suites: each suite process gets its own settings store and temporary
// folder (where local socket names live on Unix), and the identity the program sets at start.

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

namespace ClientTest {

// Before the application object exists. A short folder, since Unix socket paths are limited to about
// 100 bytes, and the owner's alone, as a runtime folder must be.
inline void isolateProcess()
{
    static QTemporaryDir root(QStringLiteral("/tmp/zumvari-test-XXXXXX"));
    const QByteArray path = QFile::encodeName(root.path());
    qputenv("TMPDIR", path);
    qputenv("XDG_CONFIG_HOME", path + "/config");
    qputenv("XDG_RUNTIME_DIR", path);
    qunsetenv("DIVE_DIZUVIVIVID_API_URL"); // never a backend of the environment
}

// A table written as text: one row a line, its fields separated by " | ", the first naming the row.
inline void rows(const char *table)
{
    QTest::addColumn<QStringList>("row");
    for (const QString &line : QString::fromUtf8(table).split(u'\n', Qt::SkipEmptyParts))
        QTest::newRow(qPrintable(line.section(QStringLiteral(" | "), 0, 0)))
            << line.split(QStringLiteral(" | ")).mid(1);
}

} // namespace ClientTest

#define ZUMVARI_TEST_MAIN(TestObject)                                                                        \
    int main(int argc, char *argv[])                                                                         \
    {                                                                                                        \
        ClientTest::isolateProcess();                                                                        \
        QApplication app(argc, argv);                                                                        \
        QApplication::setQuitOnLastWindowClosed(false);                                                      \
        QApplication::setApplicationName(QStringLiteral("ZUMVARI"));                                         \
        QApplication::setApplicationVersion(QStringLiteral("0.4.0"));                                        \
        QApplication::setOrganizationName(QStringLiteral("ZUMVARI COM LLC"));                                \
        TestObject test;                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                              \
    }
