#include "mainwindow.h"

#include "apiclient.h"
#include "fittedlabel.h"

#include <QAction>
#include <QDesktopServices>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

// The resources live in the client library; a static library's initialiser is only kept when
// something refers to it.
static void initClientResources()
{
    Q_INIT_RESOURCE(zumvari);
}

namespace {

const char RegistrationLink[] = "https://www.zumvari.com/register";
constexpr int ColumnSpacing = 8;

QString styleSheetText()
{
    QFile file(QStringLiteral(":/zumvari/style.qss"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    initClientResources();
    setWindowTitle(tr("游戏加速器"));
    resize(1120, 720);
    // The tray shows whatever icon the window has.
    setWindowIcon(QIcon(QStringLiteral(":/zumvari/zumvari.png")));

    auto *central = new QWidget(this);
    auto *columns = new QHBoxLayout(central);
    columns->setContentsMargins(28, 28, 28, 28);
    columns->setSpacing(24);
    // Nested layouts would inherit the 24 px between the columns; at that spacing the left
    // column alone is taller than the window's 720 px.
    auto *leftColumn = new QVBoxLayout;
    leftColumn->setSpacing(ColumnSpacing);
    auto *rightColumn = new QVBoxLayout;
    rightColumn->setSpacing(ColumnSpacing);
    // A screen shorter than the left column (1366×768, or 1920×1080 at 150 %) scrolls it instead
    // of pushing the window's bottom under the taskbar.
    auto *leftPane = new QScrollArea(central);
    leftPane->setFrameShape(QFrame::NoFrame);
    leftPane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    leftPane->setWidgetResizable(true);
    leftPane->setWidget(new QWidget(leftPane));
    leftPane->widget()->setLayout(leftColumn);
    leftColumn->setContentsMargins(0, 0, 0, 0);
    columns->addWidget(leftPane, 1);
    columns->addLayout(rightColumn, 2);

    auto *memberCard = new QFrame(central);
    auto *pageTitle = new QLabel(tr("Zumvari"), central);
    auto *subtitle = new QLabel(tr("让每一局都更稳定"), central);
    auto *memberTitle = new QLabel(tr("账户与会员"), memberCard);
    accountLabel = new FittedLabel(tr("尚未登录"), memberCard);
    membershipStatus = new QLabel(tr("会员状态：登录后查看"), memberCard);
    membershipExpiry = new QLabel(tr("到期时间：--"), memberCard);
    logoutButton = new QPushButton(tr("退出登录"), memberCard);
    accountEdit = new QLineEdit(central);
    passwordEdit = new QLineEdit(central);
    loginButton = new QPushButton(tr("登录"), central);
    registerButton = new QPushButton(tr("注册账号"), central);
    routeCard = new FittedLabel(tr("加速线路：请选择游戏"), central, 2); // a node's address in sight
    statusLabel = new FittedLabel(tr("尚未连接本地加速服务"), central);
    auto *checkServiceButton = new QPushButton(tr("检查服务"), central);
    startButton = new QPushButton(tr("开始加速"), central);
    launchButton = new QPushButton(tr("启动游戏"), central);
    stopButton = new QPushButton(tr("停止加速"), central);
    auto *sectionTitle = new QLabel(tr("选择游戏"), central);
    gameList = new QListWidget(central);

    apiClient = new ApiClient(this);
    // Its answer comes through the event loop, after the connections below exist.
    apiClient->CheckForUpdate();

    pageTitle->setObjectName(QStringLiteral("pageTitle"));
    subtitle->setObjectName(QStringLiteral("subtitle"));
    accountEdit->setPlaceholderText(tr("账号或邮箱"));
    passwordEdit->setPlaceholderText(tr("密码"));
    passwordEdit->setEchoMode(QLineEdit::Password);
    gameList->setObjectName(QStringLiteral("gameList"));
    stopButton->setObjectName(QStringLiteral("secondaryButton"));
    launchButton->setObjectName(QStringLiteral("launchButton"));
    startButton->setEnabled(false);
    stopButton->setEnabled(false);
    launchButton->setEnabled(false);
    membershipStatus->setObjectName(QStringLiteral("membershipStatus"));
    membershipExpiry->setObjectName(QStringLiteral("membershipExpiry"));
    routeCard->setObjectName(QStringLiteral("routeCard"));
    membershipStatus->hide();
    membershipExpiry->hide();
    memberCard->setObjectName(QStringLiteral("memberCard"));
    memberTitle->setObjectName(QStringLiteral("memberTitle"));
    sectionTitle->setObjectName(QStringLiteral("sectionTitle"));
    checkServiceButton->setObjectName(QStringLiteral("checkServiceButton"));

    auto *cardLayout = new QVBoxLayout(memberCard);
    cardLayout->setContentsMargins(16, 14, 16, 14);
    cardLayout->setSpacing(6);
    cardLayout->addWidget(memberTitle);
    cardLayout->addWidget(accountLabel);
    cardLayout->addWidget(membershipStatus);
    cardLayout->addWidget(membershipExpiry);
    cardLayout->addWidget(logoutButton);
    logoutButton->hide();

    leftColumn->addWidget(pageTitle);
    leftColumn->addWidget(subtitle);
    leftColumn->addSpacing(24);
    leftColumn->addWidget(memberCard);
    leftColumn->addWidget(accountEdit);
    leftColumn->addWidget(passwordEdit);
    leftColumn->addWidget(loginButton);
    leftColumn->addWidget(registerButton);
    leftColumn->addSpacing(14);
    leftColumn->addWidget(routeCard);
    leftColumn->addStretch(0);
    leftColumn->addWidget(statusLabel);
    leftColumn->addWidget(checkServiceButton);
    leftColumn->addWidget(startButton);
    leftColumn->addWidget(launchButton);
    leftColumn->addWidget(stopButton);

    rightColumn->addWidget(sectionTitle);
    rightColumn->addWidget(gameList);
    setCentralWidget(central);

    auto *trayMenu = new QMenu(this);
    trayMenu->setObjectName(QStringLiteral("trayMenu"));
    QAction *openAction = trayMenu->addAction(tr("打开Zumvari"));
    openAction->setObjectName(QStringLiteral("openAction"));
    QAction *exitAction = trayMenu->addAction(tr("退出并停止加速"));
    exitAction->setObjectName(QStringLiteral("exitAction"));
    trayIcon = new QSystemTrayIcon(windowIcon(), this);
    trayIcon->setToolTip(tr("Zumvari游戏加速器"));
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setVisible(true);

    // The order of these connections is part of the window's contract.
    connect(openAction, &QAction::triggered, this, [this] { showAndActivate(); });
    connect(trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
            showAndActivate();
    });
    connect(exitAction, &QAction::triggered, this, [this] { exitAndStop(); });
    connect(loginButton, &QPushButton::clicked, this, [this] { signIn(); });
    connect(registerButton, &QPushButton::clicked, this,
            [] { QDesktopServices::openUrl(QUrl(QLatin1String(RegistrationLink), QUrl::TolerantMode)); });
    connect(logoutButton, &QPushButton::clicked, this, [this] { signOut(); });
    connect(apiClient, &ApiClient::LoginSucceeded, this,
            [this](const QString &account) { showSignedIn(account); });
    connect(apiClient, &ApiClient::ProfileLoaded, this,
            [this](const QJsonObject &profile) { showProfile(profile); });
    connect(apiClient, &ApiClient::GamesLoaded, this,
            [this](const QJsonArray &games) { fillGameList(games); });
    connect(gameList, &QListWidget::currentItemChanged, this,
            [this](QListWidgetItem *current, QListWidgetItem *) { selectGame(current); });
    connect(apiClient, &ApiClient::RegionsLoaded, this,
            [this](const QString &gameId, const QJsonArray &regions) { takeRegion(gameId, regions); });
    connect(apiClient, &ApiClient::NodesLoaded, this,
            [this](const QString &gameId, const QString &regionId, const QJsonArray &nodes) {
                takeNode(gameId, regionId, nodes);
            });
    connect(apiClient, &ApiClient::SessionCreated, this,
            [this](const QJsonObject &session) { startTunnel(session); });
    connect(apiClient, &ApiClient::AccelerationFailed, this,
            [this](const QString &message) { refuseSession(message); });
    connect(apiClient, &ApiClient::SessionStopped, this,
            [this] { finishStop(apiClient->StoppedSessionId()); });
    connect(apiClient, &ApiClient::UpdateAvailable, this,
            [this](const QString &version, const QUrl &downloadUrl, const QString &releaseNotes,
                   bool mandatory, const QString &sha256, qint64 sizeBytes) {
                offerRelease(version, downloadUrl, releaseNotes, mandatory, sha256, sizeBytes);
            });
    connect(apiClient, &ApiClient::UpdateDownloadProgress, this,
            [this](qint64 received, qint64 total) { showDownloadProgress(received, total); });
    connect(apiClient, &ApiClient::UpdateDownloaded, this,
            [this](const QString &installerPath) { offerInstall(installerPath); });
    connect(apiClient, &ApiClient::UpdateDownloadFailed, this,
            [this](const QString &message) { showDownloadFailure(message); });
    connect(apiClient, &ApiClient::RequestFailed, this,
            [this](const QString &message) { routeFailure(message); });
    connect(checkServiceButton, &QPushButton::clicked, this,
            [this] { runServiceCommand(ServiceCommand::Status, QByteArray()); });
    connect(startButton, &QPushButton::clicked, this, [this] { startAcceleration(); });
    connect(stopButton, &QPushButton::clicked, this, [this] { stopAcceleration(); });
    connect(launchButton, &QPushButton::clicked, this, [this] { launchGame(); });

    setStyleSheet(styleSheetText());
    settleOnDesktop();
}

MainWindow::~MainWindow() = default;
