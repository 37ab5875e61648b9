#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The demo world the development backend serves: accounts, relay nodes and the game catalogue.
struct DemoAccount
{
    QString account;
    QString password;
    QString kind;
    bool active = false;
    QDateTime expiresAt; // UTC
};

struct DemoNode
{
    QString id;
    QString name;
    QString location;
    int score = 0;
    QString endpoint;  // host:port of the relay's tunnel
    QString publicKey; // base64 of the relay's 32-byte tunnel key
    QString egressIp;
};

struct DemoRegion
{
    QString id;
    QString name;
    QStringList nodeIds;
};

struct DemoGame
{
    QString id;
    QString slug;
    QString name;
    QStringList gameProcesses;
    QList<DemoRegion> regions;
};

struct DemoData
{
    QList<DemoAccount> accounts;
    QList<DemoNode> nodes;
    QList<DemoGame> games;

    const DemoAccount *findAccount(const QString &account) const;
    const DemoNode *findNode(const QString &id) const;
    const DemoGame *findGame(const QString &id) const;
    static const DemoRegion *findRegion(const DemoGame &game, const QString &id);
};

// Reads the seed document. Membership expiries are given in days relative to `now`, so that the
// demo accounts keep the same standing whenever the backend is started. On failure returns nothing
// and says why in `error`.
std::optional<DemoData> parseDemoData(const QByteArray &json, const QDateTime &now, QString *error);

// True when the account's membership is in force at `now`.
bool membershipActive(const DemoAccount &account, const QDateTime &now);
