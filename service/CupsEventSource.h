// Keeps a subscription to the scheduler's events, delivered as signals on the system
// bus by its D-Bus notifier, and feeds them into the CupsWatch. Lives on a thread of
// its own with an event loop. Renews the lease before it runs out, subscribes again
// when the scheduler comes back without it, and leaves the watch asking CUPS as before
// while there is no event source (no bus, subscription refused, scheduler down).
#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QTimer>

#include "UtilOutage.h"

class QDBusServiceWatcher;

namespace service
{
class CupsWatch;

constexpr int c_iSubscriptionLeaseS = 3600;
// Renewed at half the lease, so one late renewal still finds it alive.
constexpr int c_iSubscriptionRenewMs = c_iSubscriptionLeaseS * 1000 / 2;
// While the scheduler is away: how soon to look for it again.
constexpr int c_iSchedulerRetryMs = 1000;
// No bus, or the scheduler refuses the subscription: nothing will change soon.
constexpr int c_iEventSourceRetryMs = 60000;

class CupsEventSource : public QObject
{
    Q_OBJECT

public:
    explicit CupsEventSource(CupsWatch &watch, QObject *parent = nullptr);
    ~CupsEventSource() override;

public slots:
    void SlotStart();
    // An orderly stop: the subscription is cancelled, so the scheduler's notifier stops
    // working for us, and the bus is left.
    void SlotStop();

private slots:
    // The lease is due or a retry: renews, or subscribes anew.
    void SlotEstablish();
    void SlotNotifierSignal(const QDBusMessage &msg);
    void SlotNotifierGone();
    void SlotNameLost(const QString &strName, const QString &strOldOwner, const QString &strNewOwner);
    void SlotBusGone();

private:
    bool ConnectBus();
    // With bResync, or when events were not coming in, the states are taken afresh.
    void Establish(bool bResync);
    void ListenToNotifier();
    void FollowNotifier(const QString &strService);
    void LoseEvents(int iRetryMs);

    CupsWatch &m_watch;
    QTimer m_timer;  // the next renewal or retry
    QDBusServiceWatcher *m_pNotifierWatcher = nullptr;
    QString m_strNotifier;
    int m_iSubscription = 0;
    bool m_bBusUp = false;
    UtilOutage m_outage;
};
}  // namespace service
