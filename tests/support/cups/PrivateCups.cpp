#include "PrivateCups.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cups/cups.h>

#include <sys/stat.h>
#include <sys/un.h>

#include <csignal>
#include <memory>
#include <vector>

#include "TestSupport.h"

using namespace std::chrono;

namespace
{
constexpr milliseconds c_startTimeout{10000};
constexpr milliseconds c_readyTimeout{15000};
constexpr milliseconds c_readyPollStep{20};
// With jobs printing the scheduler needs about 4 s to wind its backends down.
constexpr milliseconds c_stopTimeout{15000};
constexpr milliseconds c_killTimeout{5000};
constexpr milliseconds c_toolTimeout{15000};
constexpr milliseconds c_jobPollStep{100};
// printers.conf is written by the scheduler's main loop, possibly after the answer went out.
constexpr milliseconds c_confWriteTimeout{10000};
constexpr milliseconds c_confPollStep{10};
constexpr int c_iIppTimeoutMs = 15000;

// The scheduler's own limit for queue names.
constexpr int c_iMaxQueueNameBytes = 127;
constexpr int c_iMaxDeviceUriBytes = HTTP_MAX_URI - 1;
constexpr int c_iMaxModelBytes = 127;
// PPD short nick names are limited to 31 characters.
constexpr int c_iMaxShortNickName = 31;
constexpr qint64 c_iMaxJobBytes = 16 * 1024 * 1024;
constexpr qint64 c_iMaxToolOutput = 64 * 1024;
constexpr qint64 c_iMaxSystemConfBytes = 1024 * 1024;

const char *const c_szSystemCupsdConf = "/etc/cups/cupsd.conf";
const char *const c_szReady = "scheduler is running";
const char *const c_szRawFormat = "application/vnd.cups-raw";
// CUPS_STATEDIR too: without it a client may fall back to the system's root certificate.
const char *const c_aszEnvKeys[] = {"CUPS_SERVER", "CUPS_SERVERROOT", "CUPS_STATEDIR", "DBUS_SYSTEM_BUS_ADDRESS"};
const char *const c_szEventsSwitch = "OSTREL_TEST_CUPS_EVENTS";

struct HttpCloser
{
    void operator()(http_t *p) const { httpClose(p); }
};
using HttpPtr = std::unique_ptr<http_t, HttpCloser>;

struct IppDeleter
{
    void operator()(ipp_t *p) const { ippDelete(p); }
};
using IppPtr = std::unique_ptr<ipp_t, IppDeleter>;

// A connection of its own for every request, so the fixture does not depend on which
// server this thread's libcups currently points at.
IppPtr DoIpp(const QString &strSocket, ipp_t *pRequest, const char *szResource, const QString &strFile,
             QString &strError)
{
    HttpPtr pHttp(httpConnect2(QFile::encodeName(strSocket).constData(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER,
                               1, c_iIppTimeoutMs, nullptr));
    if (!pHttp) {
        ippDelete(pRequest);
        strError = "cannot connect to " + strSocket;
        return nullptr;
    }
    const QByteArray baFile = QFile::encodeName(strFile);
    IppPtr pResponse(
        cupsDoFileRequest(pHttp.get(), pRequest, szResource, strFile.isEmpty() ? nullptr : baFile.constData()));
    if (!pResponse || ippGetStatusCode(pResponse.get()) > IPP_STATUS_OK_CONFLICTING) {
        strError = QString::fromUtf8(cupsLastErrorString());
        return nullptr;
    }
    return pResponse;
}

QByteArray PrinterUri(const QString &strQueue)
{
    char szUri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, szUri, sizeof(szUri), "ipp", nullptr, "localhost", 0, "/printers/%s",
                     strQueue.toUtf8().constData());
    return szUri;
}

ipp_t *NewRequest(ipp_op_t op)
{
    ipp_t *pRequest = ippNewRequest(op);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return pRequest;
}

ipp_t *NewPrinterRequest(ipp_op_t op, const QString &strQueue)
{
    ipp_t *pRequest = NewRequest(op);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(strQueue).constData());
    return pRequest;
}

void AddRequestedAttributes(ipp_t *pRequest, std::initializer_list<const char *> names)
{
    std::vector<const char *> vec(names);
    ippAddStrings(pRequest, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", int(vec.size()), nullptr,
                  vec.data());
}

bool ValidQueueName(const QString &strName)
{
    const int iBytes = strName.toUtf8().size();
    return iBytes > 0 && iBytes <= c_iMaxQueueNameBytes;
}

bool ValidDeviceUri(const QString &strUri)
{
    const int iBytes = strUri.toUtf8().size();
    return iBytes > 0 && iBytes <= c_iMaxDeviceUriBytes;
}

// The model goes into quoted PPD values: printable ASCII without quotes only.
bool ValidModel(const QString &strModel)
{
    if (strModel.trimmed().isEmpty() || strModel.size() > c_iMaxModelBytes)
        return false;
    for (QChar ch : strModel) {
        if (ch.unicode() < 0x20 || ch.unicode() > 0x7e || ch == '"')
            return false;
    }
    return true;
}

// The smallest PPD the PPD checker passes: the header and one A4 page size.
QByteArray MinimalPpd(const QString &strModel)
{
    const QByteArray baModel = strModel.toLatin1();
    const QByteArray baMaker = baModel.trimmed().split(' ').first();
    return "*PPD-Adobe: \"4.3\"\n"
           "*FormatVersion: \"4.3\"\n"
           "*FileVersion: \"1.0\"\n"
           "*LanguageVersion: English\n"
           "*LanguageEncoding: ISOLatin1\n"
           "*PCFileName: \"PRIVATE.PPD\"\n"
           "*Manufacturer: \"" + baMaker + "\"\n"
           "*Product: \"(" + baModel + ")\"\n"
           "*ModelName: \"" + baModel + "\"\n"
           "*ShortNickName: \"" + baModel.left(c_iMaxShortNickName) + "\"\n"
           "*NickName: \"" + baModel + "\"\n"
           "*PSVersion: \"(3010.000) 0\"\n"
           "*OpenUI *PageSize: PickOne\n"
           "*OrderDependency: 10 AnySetup *PageSize\n"
           "*DefaultPageSize: A4\n"
           "*PageSize A4/A4: \"<</PageSize[595 842]>>setpagedevice\"\n"
           "*CloseUI: *PageSize\n"
           "*OpenUI *PageRegion: PickOne\n"
           "*OrderDependency: 10 AnySetup *PageRegion\n"
           "*DefaultPageRegion: A4\n"
           "*PageRegion A4/A4: \"<</PageSize[595 842]>>setpagedevice\"\n"
           "*CloseUI: *PageRegion\n"
           "*DefaultImageableArea: A4\n"
           "*ImageableArea A4/A4: \"18 18 577 824\"\n"
           "*DefaultPaperDimension: A4\n"
           "*PaperDimension A4/A4: \"595 842\"\n";
}

// The access rules of the system's scheduler: without them every admin request is
// refused, and with them requests are judged as on a real machine.
QByteArray SystemAccessBlocks()
{
    QFile file(c_szSystemCupsdConf);
    if (file.size() > c_iMaxSystemConfBytes || !file.open(QIODevice::ReadOnly))
        return {};
    QByteArray baBlocks;
    QByteArray baClosing;
    for (const QByteArray &baLine : file.readAll().split('\n')) {
        const QByteArray baTag = baLine.trimmed().toLower();
        if (baClosing.isEmpty()) {
            if (baTag.startsWith("<location"))
                baClosing = "</location>";
            else if (baTag.startsWith("<policy"))
                baClosing = "</policy>";
            else
                continue;
        }
        baBlocks += baLine + '\n';
        if (baTag.startsWith(baClosing))
            baClosing.clear();
    }
    return baBlocks;
}

// Every rewrite of printers.conf is a new file renamed into place.
ino_t InodeOf(const QString &strPath)
{
    struct stat st {};
    return ::stat(QFile::encodeName(strPath).constData(), &st) == 0 ? st.st_ino : 0;
}

bool EventsWanted(enCupsEvents enEvents)
{
    if (enEvents == enCupsEvents::FromEnvironment)
        return qgetenv(c_szEventsSwitch) != "0";
    return enEvents == enCupsEvents::On;
}

QString CupsdProgram()
{
    const QString strFound = QStandardPaths::findExecutable("cupsd");
    if (!strFound.isEmpty())
        return strFound;
    return QStandardPaths::findExecutable("cupsd", {"/usr/sbin", "/sbin"});
}
}  // namespace

PrivateCups::PrivateCups(const stPrivateCupsOptions &options)
    : m_bEvents(EventsWanted(options.enEvents)),
      m_bDeferredConfWrites(options.bDeferredConfWrites),
      m_dir(QDir::tempPath() + "/ostrel-cups-XXXXXX")
{
}

PrivateCups::~PrivateCups()
{
    Stop();
    if (!m_bUsedInProcess)
        return;
    for (const char *szKey : c_aszEnvKeys) {
        if (m_envBefore.contains(szKey))
            qputenv(szKey, m_envBefore.value(szKey).toLocal8Bit());
        else
            qunsetenv(szKey);
    }
    cupsSetServer(nullptr);
}

bool PrivateCups::Start()
{
    if (Running())
        return true;
    if (!m_dir.isValid())
        return Fail("no temporary directory: " + m_dir.errorString());
    if (m_bEvents && !m_bus.Start())
        return Fail(m_bus.LastError());
    return WriteConfig() && Launch();
}

bool PrivateCups::Stop()
{
    if (!Running())
        return true;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (m_process.waitForFinished(int(c_stopTimeout.count())))
        return true;
    m_process.kill();
    return m_process.waitForFinished(int(c_killTimeout.count()));
}

bool PrivateCups::Restart()
{
    return Stop() && Start();
}

bool PrivateCups::Running() const
{
    return m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(0);
}

QString PrivateCups::ServerRoot() const
{
    return m_dir.path();
}

QString PrivateCups::Socket() const
{
    return ServerRoot() + "/cups.sock";
}

QProcessEnvironment PrivateCups::ServiceEnv(const QString &strPrefix) const
{
    QProcessEnvironment env = Env();
    env.insert("OSTREL_PREFIX", strPrefix);
    return env;
}

QProcessEnvironment PrivateCups::Env() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CUPS_SERVER", Socket());
    env.insert("CUPS_SERVERROOT", ServerRoot());
    env.insert("CUPS_STATEDIR", ServerRoot() + "/state");
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", m_bEvents ? m_bus.Address() : PrivateBus::AbsentAddress(ServerRoot()));
    return env;
}

void PrivateCups::UseInThisProcess()
{
    if (!m_bUsedInProcess) {
        m_envBefore = QProcessEnvironment::systemEnvironment();
        m_bUsedInProcess = true;
    }
    const QProcessEnvironment env = Env();
    for (const char *szKey : c_aszEnvKeys)
        qputenv(szKey, env.value(szKey).toLocal8Bit());
    // Forgets this thread's cached server and connection; the next call reads CUPS_SERVER.
    cupsSetServer(nullptr);
}

bool PrivateCups::AddQueue(const QString &strName, const QString &strDeviceUri, const QString &strModel)
{
    if (!ValidModel(strModel))
        return Fail("unusable model name");
    const QString strPpd = ServerRoot() + "/new-queue.ppd";
    if (!WriteWholeFile(strPpd, MinimalPpd(strModel)))
        return Fail("cannot write " + strPpd);
    const bool bAdded = AddOrModify(strName, strDeviceUri, strPpd);
    QFile::remove(strPpd);
    return bAdded;
}

bool PrivateCups::DeleteQueue(const QString &strName)
{
    if (!ValidQueueName(strName))
        return Fail("unusable queue name");
    return Administer(NewPrinterRequest(IPP_OP_CUPS_DELETE_PRINTER, strName), {});
}

bool PrivateCups::SetDeviceUri(const QString &strName, const QString &strDeviceUri)
{
    return AddOrModify(strName, strDeviceUri, {});
}

bool PrivateCups::RenameQueue(const QString &strOldName, const QString &strNewName)
{
    const QString strUri = DeviceUri(strOldName);
    if (strUri.isEmpty())
        return false;
    return AddOrModify(strNewName, strUri, PpdPath(strOldName)) && DeleteQueue(strOldName);
}

QString PrivateCups::DeviceUri(const QString &strName)
{
    if (!ValidQueueName(strName)) {
        Fail("unusable queue name");
        return {};
    }
    ipp_t *pRequest = NewPrinterRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, strName);
    AddRequestedAttributes(pRequest, {"device-uri"});
    IppPtr pResponse = DoIpp(Socket(), pRequest, "/", {}, m_strLastError);
    if (!pResponse)
        return {};
    ipp_attribute_t *pAttr = ippFindAttribute(pResponse.get(), "device-uri", IPP_TAG_URI);
    return pAttr ? QString::fromUtf8(ippGetString(pAttr, 0, nullptr)) : QString();
}

QString PrivateCups::PpdPath(const QString &strName) const
{
    return ServerRoot() + "/ppd/" + strName + ".ppd";
}

int PrivateCups::SubmitJob(const QString &strQueue, const QByteArray &baData)
{
    if (!ValidQueueName(strQueue) || baData.size() > c_iMaxJobBytes) {
        Fail("unusable queue name or job too large");
        return 0;
    }
    const QString strFile = ServerRoot() + "/submit.bin";
    if (!WriteWholeFile(strFile, baData)) {
        Fail("cannot write " + strFile);
        return 0;
    }
    ipp_t *pRequest = NewPrinterRequest(IPP_OP_PRINT_JOB, strQueue);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "private-cups");
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, c_szRawFormat);
    IppPtr pResponse = DoIpp(Socket(), pRequest, "/", strFile, m_strLastError);
    QFile::remove(strFile);
    if (!pResponse)
        return 0;
    ipp_attribute_t *pAttr = ippFindAttribute(pResponse.get(), "job-id", IPP_TAG_INTEGER);
    return pAttr ? ippGetInteger(pAttr, 0) : 0;
}

bool PrivateCups::CancelJob(int iJobId)
{
    if (iJobId <= 0)
        return Fail("no such job");
    QByteArray baOutput;
    return RunTool("cancel", {QString::number(iJobId)}, baOutput);
}

stCupsJob PrivateCups::JobState(int iJobId)
{
    stCupsJob job;
    if (iJobId <= 0)
        return job;
    ipp_t *pRequest = NewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr,
                 QByteArray("ipp://localhost/jobs/" + QByteArray::number(iJobId)).constData());
    AddRequestedAttributes(pRequest, {"job-state", "job-state-reasons"});
    IppPtr pResponse = DoIpp(Socket(), pRequest, "/", {}, m_strLastError);
    if (!pResponse)
        return job;
    job.iJobId = iJobId;
    if (ipp_attribute_t *pState = ippFindAttribute(pResponse.get(), "job-state", IPP_TAG_ENUM))
        job.iJobState = ippGetInteger(pState, 0);
    ipp_attribute_t *pReasons = ippFindAttribute(pResponse.get(), "job-state-reasons", IPP_TAG_KEYWORD);
    for (int i = 0; i < ippGetCount(pReasons); ++i)
        job.listReasons.append(QString::fromUtf8(ippGetString(pReasons, i, nullptr)));
    return job;
}

bool PrivateCups::WaitJobState(int iJobId, int iState, const QString &strReason, milliseconds timeout)
{
    return WaitUntil(
        [&] {
            const stCupsJob job = JobState(iJobId);
            return job.iJobState == iState && (strReason.isEmpty() || job.listReasons.contains(strReason));
        },
        timeout, c_jobPollStep);
}

QByteArray PrivateCups::PrintersConf() const
{
    return ReadWholeFile(ServerRoot() + "/printers.conf");
}

QByteArray PrivateCups::ErrorLog() const
{
    return ReadWholeFile(ServerRoot() + "/error_log");
}

int PrivateCups::AccessLogLines() const
{
    return ReadWholeFile(ServerRoot() + "/access_log").count('\n');
}

bool PrivateCups::WriteConfig()
{
    const QString strRoot = ServerRoot();
    // A unix socket path has to fit into sockaddr_un.
    if (QFile::encodeName(Socket()).size() >= int(sizeof(sockaddr_un::sun_path)))
        return Fail("socket path too long: " + Socket());
    const QByteArray baBlocks = SystemAccessBlocks();
    if (baBlocks.isEmpty())
        return Fail(QString("no <Location>/<Policy> blocks in ") + c_szSystemCupsdConf);
    const QByteArray baRoot = QFile::encodeName(strRoot);
    // Printcap inside the directory: by default the scheduler rewrites the system's.
    const QByteArray baFiles = "ServerRoot " + baRoot + "\nStateDir " + baRoot + "/state\nRequestRoot " + baRoot +
                               "/spool\nCacheDir " + baRoot + "/cache\nAccessLog " + baRoot + "/access_log\nErrorLog " +
                               baRoot + "/error_log\nPageLog " + baRoot + "/page_log\nPrintcap " + baRoot +
                               "/printcap\nPeerCred on\n" + NotifierEnv();
    // printers.conf is otherwise written up to 30 s after a change. Every request goes to
    // the access log, queries too, so tests can count them.
    const QByteArray baConf = "Listen " + QFile::encodeName(Socket()) + "\n" +
                              (m_bDeferredConfWrites ? "" : "DirtyCleanInterval 0\n") + "Browsing No\n" +
                              "AccessLogLevel all\n" + baBlocks;
    if (!WriteWholeFile(strRoot + "/cups-files.conf", baFiles) || !WriteWholeFile(strRoot + "/cupsd.conf", baConf))
        return Fail("cannot write the configuration into " + strRoot);
    return true;
}

// The scheduler hands its notifiers only the variables named here.
QByteArray PrivateCups::NotifierEnv() const
{
    if (!m_bEvents)
        return {};
    return "SetEnv DBUS_SYSTEM_BUS_ADDRESS " + m_bus.Address().toUtf8() + "\n";
}

bool PrivateCups::Launch()
{
    const QString strRoot = ServerRoot();
    const QString strProgram = CupsdProgram();
    if (strProgram.isEmpty())
        return Fail("cupsd not found");
    m_process.setProgram(strProgram);
    m_process.setArguments({"-f", "-c", strRoot + "/cupsd.conf", "-s", strRoot + "/cups-files.conf"});
    m_process.setProcessEnvironment(Env());
    m_process.setWorkingDirectory(strRoot);
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.setStandardOutputFile(strRoot + "/cupsd.out", QIODevice::Append);
    m_process.setStandardErrorFile(strRoot + "/cupsd.out", QIODevice::Append);
    m_process.start();
    if (!m_process.waitForStarted(int(c_startTimeout.count())))
        return Fail("cupsd did not start: " + m_process.errorString());
    WaitUntil([&] { return !Running() || SchedulerAnswers(); }, c_readyTimeout, c_readyPollStep);
    if (!Running())
        return Fail("cupsd exited: " + QString::fromLocal8Bit(ReadWholeFile(strRoot + "/cupsd.out")));
    if (SchedulerAnswers())
        return true;
    Stop();
    return Fail("cupsd did not answer in time");
}

bool PrivateCups::SchedulerAnswers()
{
    QByteArray baOutput;
    return RunTool("lpstat", {"-r"}, baOutput) && baOutput.trimmed() == c_szReady;
}

bool PrivateCups::RunTool(const QString &strTool, const QStringList &listArgs, QByteArray &baOutput)
{
    QProcess process;
    process.setProcessEnvironment(Env());
    process.setWorkingDirectory(ServerRoot());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(strTool, listArgs);
    if (!process.waitForFinished(int(c_toolTimeout.count()))) {
        process.kill();
        process.waitForFinished(int(c_killTimeout.count()));
        return Fail(strTool + " did not finish");
    }
    baOutput = process.readAll().left(int(c_iMaxToolOutput));
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return Fail(strTool + ": " + QString::fromLocal8Bit(baOutput).trimmed());
    return true;
}

bool PrivateCups::AddOrModify(const QString &strName, const QString &strDeviceUri, const QString &strPpdFile)
{
    if (!ValidQueueName(strName) || !ValidDeviceUri(strDeviceUri))
        return Fail("unusable queue name or device URI");
    ipp_t *pRequest = NewPrinterRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, strName);
    ippAddString(pRequest, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, strDeviceUri.toUtf8().constData());
    if (!strPpdFile.isEmpty()) {
        // A new queue is enabled and accepting, as the admin tool's -E makes it.
        ippAddBoolean(pRequest, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
        ippAddInteger(pRequest, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
    }
    return Administer(pRequest, strPpdFile);
}

bool PrivateCups::Administer(ipp_t *pRequest, const QString &strFile)
{
    const QString strConf = ServerRoot() + "/printers.conf";
    const ino_t inodeBefore = InodeOf(strConf);
    if (!DoIpp(Socket(), pRequest, "/admin/", strFile, m_strLastError))
        return false;
    if (m_bDeferredConfWrites)
        return true;
    if (!WaitUntil([&] { return InodeOf(strConf) != inodeBefore; }, c_confWriteTimeout, c_confPollStep))
        return Fail("printers.conf was not rewritten");
    return true;
}

bool PrivateCups::Fail(const QString &strWhy)
{
    m_strLastError = strWhy;
    return false;
}

QString ShellTrapQueueName()
{
    return "-q;`id`|$(touch${IFS}${PWD%%[![:punct:]]*}tmp${PWD%%[![:punct:]]*}ostrel-shell-trap-ran)";
}

QString ShellTrapMarker()
{
    return "/tmp/ostrel-shell-trap-ran";
}
