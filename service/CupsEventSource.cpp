#include "CupsEventSource.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QHash>

#include "CupsWatch.h"
#include "UtilCups.h"
#include "UtilLog.h"

namespace service
{
namespace
{
// Our own name for the connection, so a retry can drop a failed one and start afresh.
const char *const c_szBusConnection = "ostrel-cups-events";
const char *const c_szNotifierPath = "/org/cups/cupsd/Notifier";
const char *const c_szNotifierInterface = "org.cups.cupsd.Notifier";

// The notifier names each signal after its event; printer-state-changed and
// job-state-changed bring the events they imply (job-completed, printer-stopped, ...).
const char *const c_aszPrinterSignals[] = {"PrinterStateChanged", "PrinterRestarted", "PrinterShutdown",
                                           "PrinterStopped",      "PrinterAdded",     "PrinterDeleted",
                                           "PrinterModified"};
const char *const c_aszJobSignals[] = {"JobState", "JobCreated", "JobCompleted", "JobStopped", "JobStateChanged"};
const char *const c_aszServerSignals[] = {"ServerStarted", "ServerRestarted"};

const QStringList c_listEvents = {"printer-added",     "printer-deleted",   "printer-modified",
                                  "printer-state-changed", "job-state-changed", "server-restarted",
                                  "server-started"};

// Arguments every notifier signal about a printer or job starts with: text, printer URI,
// printer name, printer-state, ...
constexpr int c_iArgQueue = 2;
constexpr int c_iArgPrinterState = 3;

bool IsQueueListSignal(const QString &strMember)
{
    return strMember == "PrinterAdded" || strMember == "PrinterDeleted" || strMember == "PrinterModified";
}

QDBusConnection Bus()
{
    return QDBusConnection(c_szBusConnection);
}
}  // namespace

CupsEventSource::CupsEventSource(CupsWatch &watch, QObject *parent) : QObject(parent), m_watch(watch), m_timer(this)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CupsEventSource::SlotEstablish);
}

CupsEventSource::~CupsEventSource() = default;

void CupsEventSource::SlotStart()
{
    Establish(true);
}

void CupsEventSource::SlotEstablish()
{
    Establish(false);
}

bool CupsEventSource::ConnectBus()
{
    if (m_bBusUp)
        return true;
    QDBusConnection::disconnectFromBus(c_szBusConnection);
    const QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, c_szBusConnection);
    if (!bus.isConnected()) {
        m_outage.Failed("Unable to use CUPS events on the system bus: %s; asking CUPS every %d ms instead",
                        qPrintable(bus.lastError().message()), c_iIdleCheckMs);
        return false;
    }
    m_bBusUp = true;
    ListenToNotifier();
    return true;
}

void CupsEventSource::ListenToNotifier()
{
    QDBusConnection bus = Bus();
    auto listen = [&](const char *szMember) {
        bus.connect(QString(), c_szNotifierPath, c_szNotifierInterface, szMember, this,
                    SLOT(SlotNotifierSignal(QDBusMessage)));
    };
    for (const char *szMember : c_aszPrinterSignals)
        listen(szMember);
    for (const char *szMember : c_aszJobSignals)
        listen(szMember);
    for (const char *szMember : c_aszServerSignals)
        listen(szMember);
    bus.connect(QString(), "/org/freedesktop/DBus/Local", "org.freedesktop.DBus.Local", "Disconnected", this,
                SLOT(SlotBusGone()));
    bus.connect("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged", this,
                SLOT(SlotNameLost(QString, QString, QString)));
    m_pNotifierWatcher = new QDBusServiceWatcher({}, bus, QDBusServiceWatcher::WatchForUnregistration, this);
    connect(m_pNotifierWatcher, &QDBusServiceWatcher::serviceUnregistered, this, &CupsEventSource::SlotNotifierGone);
}

// Subscribes, or renews the subscription it has; then takes the printer states once,
// after the subscription, so that no change falls between the two.
void CupsEventSource::Establish(bool bResync)
{
    if (!ConnectBus())
        return LoseEvents(c_iEventSourceRetryMs);
    enCupsAnswer enAnswer = CUPS_ANSWER_NOT_FOUND;
    if (m_iSubscription > 0)
        enAnswer = UtilCups::RenewSubscription(m_iSubscription, c_iSubscriptionLeaseS);
    if (enAnswer == CUPS_ANSWER_OK && !bResync && m_watch.EventsLive()) {
        m_timer.start(c_iSubscriptionRenewMs);
        return;
    }
    if (enAnswer == CUPS_ANSWER_NOT_FOUND) {
        m_iSubscription = 0;
        enAnswer = UtilCups::CreateSubscription(c_listEvents, c_iSubscriptionLeaseS, m_iSubscription);
    }
    QHash<QString, int> hashState;
    if (enAnswer == CUPS_ANSWER_OK && !UtilCups::GetPrinterStates(hashState))
        enAnswer = CUPS_ANSWER_NONE;
    if (enAnswer == CUPS_ANSWER_NONE)
        return LoseEvents(c_iSchedulerRetryMs);
    if (enAnswer != CUPS_ANSWER_OK) {
        m_outage.Failed("Unable to subscribe to CUPS events: %s; asking CUPS every %d ms instead",
                        qPrintable(UtilCups::LastError()), c_iIdleCheckMs);
        return LoseEvents(c_iEventSourceRetryMs);
    }
    LOG_WRITE("CUPS events through subscription %d", m_iSubscription);
    m_outage.Ended();
    m_watch.EventsStarted(hashState);
    m_timer.start(c_iSubscriptionRenewMs);
}

void CupsEventSource::LoseEvents(int iRetryMs)
{
    m_watch.EventsStopped();
    m_timer.start(iRetryMs);
}

void CupsEventSource::SlotNotifierSignal(const QDBusMessage &msg)
{
    FollowNotifier(msg.service());
    const QString strMember = msg.member();
    const QVariantList listArg = msg.arguments();
    if (strMember.startsWith("Server")) {
        // The scheduler restarted and kept our subscription: what it knows may differ now.
        Establish(true);
        return;
    }
    const QString strQueue = listArg.value(c_iArgQueue).toString();
    if (strQueue.isEmpty())
        return;
    if (listArg.size() > c_iArgPrinterState)
        m_watch.PrinterStateChanged(strQueue, int(listArg.at(c_iArgPrinterState).toUInt()));
    if (IsQueueListSignal(strMember))
        m_watch.QueuesChanged();
    if (strMember.startsWith("Job"))
        m_watch.JobChanged(strQueue);
}

// The notifier ends with its scheduler: its name leaving the bus is the first sign of a
// stop or a crash, which may take the subscription with it.
void CupsEventSource::FollowNotifier(const QString &strService)
{
    if (strService.isEmpty() || strService == m_strNotifier)
        return;
    m_strNotifier = strService;
    m_pNotifierWatcher->setWatchedServices({strService});
}

void CupsEventSource::SlotNotifierGone()
{
    LOG_WRITE("the CUPS notifier left the bus");
    m_strNotifier.clear();
    m_pNotifierWatcher->setWatchedServices({});
    LoseEvents(c_iSchedulerRetryMs);
}

// The notifier starts with the first event after subscribing. Until it has spoken, any
// connection leaving the bus may have been the scheduler's or the notifier's: the
// subscription is checked a moment later (one request, however many left).
void CupsEventSource::SlotNameLost(const QString &strName, const QString &, const QString &strNewOwner)
{
    if (!m_strNotifier.isEmpty() || !strNewOwner.isEmpty() || !strName.startsWith(':') || !m_watch.EventsLive())
        return;
    m_timer.start(c_iSchedulerRetryMs);
}

void CupsEventSource::SlotBusGone()
{
    m_bBusUp = false;
    m_strNotifier.clear();
    delete m_pNotifierWatcher;
    m_pNotifierWatcher = nullptr;
    m_outage.Failed("Unable to use CUPS events: the system bus went away; asking CUPS every %d ms instead",
                    c_iIdleCheckMs);
    LoseEvents(c_iSchedulerRetryMs);
}

void CupsEventSource::SlotStop()
{
    m_timer.stop();
    if (m_iSubscription > 0 && !UtilCups::CancelSubscription(m_iSubscription))
        LOG_WRITE("subscription %d not cancelled: %s", m_iSubscription, qPrintable(UtilCups::LastError()));
    m_iSubscription = 0;
    delete m_pNotifierWatcher;
    m_pNotifierWatcher = nullptr;
    m_bBusUp = false;
    QDBusConnection::disconnectFromBus(c_szBusConnection);
    m_watch.EventsStopped();
}
}  // namespace service
