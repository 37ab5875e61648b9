#pragma once

// What the program's entry does for the desktop it runs on: Qt's own texts in Chinese, and one
// running client per account.

#include <QLocalServer>
#include <QLockFile>
#include <QString>

#include <functional>

// Loads Qt's own Simplified Chinese texts (standard buttons, context menus, Qt's error strings)
// into the application. False when no folder held them.
bool installQtTranslations();

// The first start of an account holds its lock and listens for later starts; a later start only
// asks it to show itself and ends. The lock and the server's name live where only that account
// can make names, so that nobody else's instance or squatter keeps the member's client out.
class InstanceGuard
{
public:
    InstanceGuard();

    // True: this process is the account's instance. False: another one runs and has been asked
    // to show itself.
    bool claim();
    // Calls `show` for every later start that asks, while `context` lives.
    void onShow(QObject *context, const std::function<void()> &show);

    static QString serverName();

private:
    void askToShow();

    QLockFile lock;
    QLocalServer server;
};
