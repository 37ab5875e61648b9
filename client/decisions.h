#pragma once

// Small pure decisions of the main window and the API client, kept apart so that tests can
// call them directly and the handlers only apply them to widgets.

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

enum class MembershipKind { Official, Trial, Grant };

// "trial" and "grant" are compared exactly; anything else is a paid membership.
MembershipKind membershipKindOf(const QString &kind);

// Whole UTC calendar days from now until the expiry, never below 0; an invalid expiry gives 0.
qint64 membershipDaysRemaining(const QDateTime &now, const QDateTime &expiry);

// The probe value sent for a node: its whole-number score, 100 when absent or not a whole
// number, and at least 1.
int roundTripValue(const QJsonValue &score);

// The Start payload for the local service: the session as the backend sent it, the private key,
// and split routing when the backend named the game's processes.
QJsonObject buildStartPayload(const QJsonObject &session, const QString &privateKey);
bool isSplitRouting(const QJsonObject &startPayload);

enum class ServiceState { Accelerating, Idle, Unknown };

// The service's reply text names its state as a quoted word; "accelerating" wins when both appear.
ServiceState serviceStateOf(const QString &replyText);

// Whole percent of a download, truncated; nothing when the total is not known.
std::optional<qint64> downloadPercent(qint64 received, qint64 total);

// True when the offered release is newer than the running version; "-alpha"/"-beta" are ignored.
bool isNewerRelease(const QString &offered, const QString &running);

// Steam application id for a catalogue slug (exact match), or an empty string.
QString steamAppIdForSlug(const QString &slug);
