// Sign-in, membership display and sign-out.

#include "mainwindow.h"

#include "apiclient.h"
#include "decisions.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>

void MainWindow::signIn()
{
    const QString account = accountEdit->text();
    // The password is taken as typed: spaces may be part of it.
    if (account.trimmed().isEmpty() || passwordEdit->text().isEmpty()) {
        accountLabel->setText(tr("请输入账号和密码"));
        return;
    }
    loginButton->setEnabled(false);
    accountLabel->setText(tr("正在登录…"));
    apiClient->Login(account, passwordEdit->text());
}

void MainWindow::showSignedIn(const QString &account)
{
    accountLabel->setText(tr("已登录：%1").arg(account));
    passwordEdit->clear();
    loginButton->setEnabled(true);
    apiClient->LoadProfile();
    apiClient->LoadGames();
}

void MainWindow::showProfile(const QJsonObject &profile)
{
    const QJsonObject membership = profile.value(QLatin1String("membership")).toObject();
    const bool active = membership.value(QLatin1String("active")).toBool(false);
    const QString kind = membership.value(QLatin1String("kind")).toString();
    const QDateTime expiry =
        QDateTime::fromString(membership.value(QLatin1String("expires_at")).toString(), Qt::ISODate);
    const QString expiryText = expiry.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));

    accountLabel->setText(tr("账号：%1").arg(profile.value(QLatin1String("account")).toString()));
    if (active) {
        QString kindText = tr("正式会员");
        switch (membershipKindOf(kind)) {
        case MembershipKind::Trial:
            kindText = tr("试用会员");
            break;
        case MembershipKind::Grant:
            kindText = tr("赠送会员");
            break;
        case MembershipKind::Official:
            break;
        }
        const qint64 days = membershipDaysRemaining(QDateTime::currentDateTimeUtc(), expiry);
        membershipStatus->setText(tr("会员状态：%1 · 剩余 %2 天").arg(kindText, QString::number(days)));
        membershipStatus->setProperty("active", true);
        membershipExpiry->setText(tr("到期时间：%1").arg(expiryText));
    } else {
        membershipStatus->setText(tr("会员状态：未开通或已过期"));
        membershipStatus->setProperty("active", false);
        membershipExpiry->setText(expiry.isValid() ? tr("到期时间：%1").arg(expiryText) : tr("到期时间：--"));
    }
    // The colour rule keys on the property; without a re-polish the old colour stays.
    membershipStatus->style()->unpolish(membershipStatus);
    membershipStatus->style()->polish(membershipStatus);

    // The form goes first: showing the card's lines while it is still there would make the
    // column taller than the window for a moment, and the window would grow for good.
    accountEdit->hide();
    passwordEdit->hide();
    loginButton->hide();
    registerButton->hide();
    membershipStatus->show();
    membershipExpiry->show();
    logoutButton->show();
}

void MainWindow::routeFailure(const QString &message)
{
    if (apiClient->IsLoggedIn()) {
        statusLabel->setText(message);
        offerStart(!selectedRegionId.isEmpty());
    } else {
        accountLabel->setText(message);
    }
    loginButton->setEnabled(true);

    // The exit waits for the backend to end the session; when that fails the member must be
    // able to see why and try again, so the window and the tray come back.
    if (quitting && !activeSessionId.isEmpty() && !trayIcon->isVisible()) {
        trayIcon->setVisible(true);
        showAndActivate();
    }
}

void MainWindow::signOut()
{
    // Before the tokens are forgotten, so that a session stop still carries the access token.
    stopOnSignOut();
    apiClient->Logout();
    accountLabel->setText(tr("尚未登录"));
    membershipStatus->hide();
    membershipExpiry->hide();
    logoutButton->hide();
    // The column still counts the card at its signed-in height until told otherwise; showing the
    // form on top of that would make it taller than the window, and the window would grow for good.
    membershipStatus->parentWidget()->updateGeometry();
    accountEdit->show();
    passwordEdit->show();
    loginButton->show();
    registerButton->show();
    gameList->clear();
    startButton->setEnabled(false);
    launchButton->setEnabled(false);
}
