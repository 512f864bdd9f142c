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
    QString strName;
    int iState = 0;
    for (ipp_attribute_t *pAttr = ippFirstAttribute(pResponse.get()); pAttr; pAttr = ippNextAttribute(pResponse.get())) {
        if (ippGetGroupTag(pAttr) != IPP_TAG_PRINTER) {
            strName.clear();
            iState = 0;
            continue;
        }
        const QByteArray name = ippGetName(pAttr);
        if (name == "printer-name")
            strName = QString::fromUtf8(ippGetString(pAttr, 0, nullptr));
        else if (name == "printer-state")
            iState = ippGetInteger(pAttr, 0);
        if (!strName.isEmpty() && iState)
            hashState.insert(strName, iState);
    }
    return true;
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
    for (;;) {
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

void UtilCupsPrinterStates::WakeAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_uWakeGeneration;
    m_cvPrinting.notify_all();
    m_cvFetched.notify_all();
}
