#pragma once

// Test main for the client suites. Each suite process gets its own settings store and its own
// temporary folder (which is also where local socket names live on Unix), and the application
// identity that the program sets at start.

#include <QApplication>
#include <QTest>

namespace ClientTest {
// Call before the application object exists.
void isolateProcess();
void setApplicationIdentity();
} // namespace ClientTest

#define ZUMVARI_TEST_MAIN(TestObject)                                                                        \
    int main(int argc, char *argv[])                                                                         \
    {                                                                                                        \
        ClientTest::isolateProcess();                                                                        \
        QApplication app(argc, argv);                                                                        \
        QApplication::setQuitOnLastWindowClosed(false);                                                      \
        ClientTest::setApplicationIdentity();                                                                \
        TestObject test;                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                              \
    }
