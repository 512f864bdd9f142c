#include "UtilCups.h"

#include <QMutexLocker>

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

bool UtilCupsPrinterStates::IsPrinting(const QString &strQueue)
{
    QMutexLocker lock(&m_mutex);
    if (!m_timerAge.isValid() || m_timerAge.elapsed() >= m_iMaxAgeMs) {
        if (!UtilCups::GetPrinterStates(m_hashState))
            m_hashState.clear();
        m_timerAge.start();
    }
    return m_hashState.value(strQueue) == c_iIppPrinterProcessing;
}
