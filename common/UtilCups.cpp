#include "UtilCups.h"

#include <cups/cups.h>

#include <memory>
#include <vector>

namespace
{
struct IppDeleter
{
    void operator()(ipp_t *p) const { ippDelete(p); }
};
using IppPtr = std::unique_ptr<ipp_t, IppDeleter>;

QString PrinterUri(const QString &strQueue)
{
    char szUri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, szUri, sizeof(szUri), "ipp", nullptr, "localhost", 0, "/printers/%s",
                     strQueue.toUtf8().constData());
    return QString::fromUtf8(szUri);
}

IppPtr DoRequest(ipp_t *pRequest)
{
    IppPtr pResponse(cupsDoRequest(CUPS_HTTP_DEFAULT, pRequest, "/"));
    if (!pResponse || ippGetStatusCode(pResponse.get()) > IPP_STATUS_OK_CONFLICTING)
        return nullptr;
    return pResponse;
}

void AddRequestedAttributes(ipp_t *pRequest, std::initializer_list<const char *> names)
{
    std::vector<const char *> vec(names);
    ippAddStrings(pRequest, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", int(vec.size()), nullptr,
                  vec.data());
}

QStringList Keywords(ipp_attribute_t *pAttr)
{
    QStringList list;
    for (int i = 0; i < ippGetCount(pAttr); ++i)
        list.append(QString::fromUtf8(ippGetString(pAttr, i, nullptr)));
    return list;
}

// Fills one job from the attributes of its group; returns the attribute that ends the group.
ipp_attribute_t *ReadJob(ipp_t *pResponse, ipp_attribute_t *pAttr, stCupsJob &job)
{
    for (; pAttr && ippGetGroupTag(pAttr) == IPP_TAG_JOB; pAttr = ippNextAttribute(pResponse)) {
        const QByteArray name = ippGetName(pAttr);
        if (name == "job-id")
            job.iJobId = ippGetInteger(pAttr, 0);
        else if (name == "job-state")
            job.iJobState = ippGetInteger(pAttr, 0);
        else if (name == "job-state-reasons")
            job.listReasons = Keywords(pAttr);
    }
    return pAttr;
}

// Server-wide: the subscription covers every queue and its jobs.
const char *const c_szServerUri = "ipp://localhost/";
const char *const c_szDbusRecipient = "dbus://";

enCupsAnswer AnswerOf(ipp_t *pResponse)
{
    const ipp_status_t status = pResponse ? ippGetStatusCode(pResponse) : cupsLastError();
    if (status <= IPP_STATUS_OK_CONFLICTING)
        return CUPS_ANSWER_OK;
    if (status == IPP_STATUS_ERROR_NOT_FOUND)
        return CUPS_ANSWER_NOT_FOUND;
    if (!pResponse || status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE)
        return CUPS_ANSWER_NONE;
    return CUPS_ANSWER_REFUSED;
}

ipp_t *NewSubscriptionRequest(ipp_op_t op)
{
    ipp_t *pRequest = ippNewRequest(op);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, c_szServerUri);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return pRequest;
}

// Calls fn once per printer group of a response, with that group's attributes by name.
template <class F>
void ForEachPrinter(ipp_t *pResponse, F fn)
{
    QHash<QByteArray, ipp_attribute_t *> hashAttr;
    for (ipp_attribute_t *pAttr = ippFirstAttribute(pResponse);; pAttr = ippNextAttribute(pResponse)) {
        if (pAttr && ippGetGroupTag(pAttr) == IPP_TAG_PRINTER) {
            hashAttr.insert(ippGetName(pAttr), pAttr);
            continue;
        }
        if (!hashAttr.isEmpty())
            fn(hashAttr);
        hashAttr.clear();
        if (!pAttr)
            return;
    }
}

QString TextOf(const QHash<QByteArray, ipp_attribute_t *> &hashAttr, const char *szName)
{
    ipp_attribute_t *pAttr = hashAttr.value(szName);
    return pAttr ? QString::fromUtf8(ippGetString(pAttr, 0, nullptr)) : QString();
}
}  // namespace

namespace UtilCups
{
bool GetPrinterStates(QHash<QString, int> &hashState)
{
    ipp_t *pRequest = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    AddRequestedAttributes(pRequest, {"printer-name", "printer-state"});
    IppPtr pResponse = DoRequest(pRequest);
    if (!pResponse)
        return false;
    hashState.clear();
    ForEachPrinter(pResponse.get(), [&hashState](const QHash<QByteArray, ipp_attribute_t *> &hashAttr) {
        ipp_attribute_t *pState = hashAttr.value("printer-state");
        const QString strName = TextOf(hashAttr, "printer-name");
        if (!strName.isEmpty() && pState && ippGetInteger(pState, 0))
            hashState.insert(strName, ippGetInteger(pState, 0));
    });
    return true;
}

bool GetQueues(QList<stCupsQueue> &listQueue)
{
    ipp_t *pRequest = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    AddRequestedAttributes(pRequest, {"printer-name", "device-uri"});
    IppPtr pResponse = DoRequest(pRequest);
    if (!pResponse)
        return false;
    listQueue.clear();
    ForEachPrinter(pResponse.get(), [&listQueue](const QHash<QByteArray, ipp_attribute_t *> &hashAttr) {
        const stCupsQueue queue = {TextOf(hashAttr, "printer-name"), TextOf(hashAttr, "device-uri")};
        if (!queue.strName.isEmpty())
            listQueue.append(queue);
    });
    return true;
}

enCupsAnswer CreateSubscription(const QStringList &listEvents, int iLeaseS, int &iId)
{
    ipp_t *pRequest = NewSubscriptionRequest(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS);
    ippAddString(pRequest, IPP_TAG_SUBSCRIPTION, IPP_TAG_URI, "notify-recipient-uri", nullptr, c_szDbusRecipient);
    QList<QByteArray> listKeep;
    std::vector<const char *> vecEvent;
    for (const QString &strEvent : listEvents) {
        listKeep.append(strEvent.toUtf8());
        vecEvent.push_back(listKeep.last().constData());
    }
    ippAddStrings(pRequest, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", int(vecEvent.size()), nullptr,
                  vecEvent.data());
    ippAddInteger(pRequest, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration", iLeaseS);
    IppPtr pResponse(cupsDoRequest(CUPS_HTTP_DEFAULT, pRequest, "/"));
    const enCupsAnswer enAnswer = AnswerOf(pResponse.get());
    if (enAnswer != CUPS_ANSWER_OK)
        return enAnswer;
    ipp_attribute_t *pId = ippFindAttribute(pResponse.get(), "notify-subscription-id", IPP_TAG_INTEGER);
    if (!pId)
        return CUPS_ANSWER_REFUSED;
    iId = ippGetInteger(pId, 0);
    return CUPS_ANSWER_OK;
}

enCupsAnswer RenewSubscription(int iId, int iLeaseS)
{
    ipp_t *pRequest = NewSubscriptionRequest(IPP_OP_RENEW_SUBSCRIPTION);
    ippAddInteger(pRequest, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", iId);
    ippAddInteger(pRequest, IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration", iLeaseS);
    IppPtr pResponse(cupsDoRequest(CUPS_HTTP_DEFAULT, pRequest, "/"));
    return AnswerOf(pResponse.get());
}

bool CancelSubscription(int iId)
{
    ipp_t *pRequest = NewSubscriptionRequest(IPP_OP_CANCEL_SUBSCRIPTION);
    ippAddInteger(pRequest, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id", iId);
    IppPtr pResponse(cupsDoRequest(CUPS_HTTP_DEFAULT, pRequest, "/"));
    return AnswerOf(pResponse.get()) == CUPS_ANSWER_OK;
}

QString LastError()
{
    return QString::fromUtf8(cupsLastErrorString());
}

bool GetJobs(const QString &strQueue, QList<stCupsJob> &listJob)
{
    ipp_t *pRequest = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(strQueue).toUtf8().constData());
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    AddRequestedAttributes(pRequest, {"job-id", "job-state", "job-state-reasons"});
    IppPtr pResponse = DoRequest(pRequest);
    if (!pResponse)
        return false;
    listJob.clear();
    ipp_attribute_t *pAttr = ippFirstAttribute(pResponse.get());
    while (pAttr) {
        if (ippGetGroupTag(pAttr) != IPP_TAG_JOB) {
            pAttr = ippNextAttribute(pResponse.get());
            continue;
        }
        stCupsJob job;
        pAttr = ReadJob(pResponse.get(), pAttr, job);
        if (job.iJobId > 0)
            listJob.append(job);
    }
    return true;
}

bool CancelAllJobs(const QString &strQueue)
{
    return cupsCancelJob2(CUPS_HTTP_DEFAULT, strQueue.toUtf8().constData(), CUPS_JOBID_ALL, 0) == IPP_STATUS_OK;
}
}  // namespace UtilCups

namespace
{
bool AnyQueueBeganPrinting(const QHash<QString, int> &hashOld, const QHash<QString, int> &hashNew)
{
    for (auto it = hashNew.cbegin(); it != hashNew.cend(); ++it) {
        if (it.value() == c_iIppPrinterProcessing && hashOld.value(it.key()) != c_iIppPrinterProcessing)
            return true;
    }
    return false;
}
}  // namespace

bool UtilCupsPrinterStates::IsStale() const
{
    return !m_bAnswered || Clock::now() - m_tpFetched >= m_maxAge;
}

// The request runs outside the lock; meanwhile others keep using the previous answer.
void UtilCupsPrinterStates::RefreshIfStale(std::unique_lock<std::mutex> &lock)
{
    if (m_bFetching || !IsStale())
        return;
    m_bFetching = true;
    lock.unlock();
    QHash<QString, int> hashState;
    if (!UtilCups::GetPrinterStates(hashState))
        hashState.clear();
    // A scheduler that answers "no printers" is reachable; one that cannot be reached is an outage.
    if (cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE)
        m_outage.Failed("Unable to reach CUPS at \"%s\": %s", cupsServer(), cupsLastErrorString());
    else
        m_outage.Ended();
    lock.lock();
    const bool bBegan = AnyQueueBeganPrinting(m_hashState, hashState);
    m_hashState.swap(hashState);
    m_tpFetched = Clock::now();
    m_bAnswered = true;
    m_bFetching = false;
    m_cvFetched.notify_all();
    if (bBegan)
        m_cvPrinting.notify_all();
}

bool UtilCupsPrinterStates::PrintingInAnswer(const QString &strQueue) const
{
    return m_hashState.value(strQueue) == c_iIppPrinterProcessing;
}

bool UtilCupsPrinterStates::IsPrinting(const QString &strQueue)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    RefreshIfStale(lock);
    return PrintingInAnswer(strQueue);
}

bool UtilCupsPrinterStates::WaitUntilPrinting(const QString &strQueue, int iTimeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Clock::time_point tpDeadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    const unsigned uGeneration = m_uWakeGeneration;
    bool bRefresher = false;
    while (!m_bStopped) {
        RefreshIfStale(lock);
        if (PrintingInAnswer(strQueue) || Clock::now() >= tpDeadline || uGeneration != m_uWakeGeneration)
            break;
        if (!m_bRefresherWaits)
            m_bRefresherWaits = bRefresher = true;
        if (!bRefresher)
            m_cvPrinting.wait_until(lock, tpDeadline);
        else if (m_bFetching)
            m_cvFetched.wait_until(lock, tpDeadline);
        else
            m_cvPrinting.wait_until(lock, std::min(tpDeadline, m_tpFetched + m_maxAge));
    }
    if (bRefresher) {
        // Another waiter takes the refreshing over.
        m_bRefresherWaits = false;
        m_cvPrinting.notify_one();
    }
    return PrintingInAnswer(strQueue);
}

void UtilCupsPrinterStates::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopped = true;
    }
    WakeAll();
}

void UtilCupsPrinterStates::WakeAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_uWakeGeneration;
    m_cvPrinting.notify_all();
    m_cvFetched.notify_all();
}
