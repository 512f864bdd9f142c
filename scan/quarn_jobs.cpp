#include "quarn_jobs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quarn_dispatch.h"
#include "quarn_wire.h"

namespace
{
constexpr int c_iEntrySize = 128;
constexpr mode_t c_modeJobsDir = 0700;
constexpr char c_szDaemonComm[] = "QuarnScanDaemon";

std::string JobsDir(const std::string &strScanDir)
{
    return strScanDir + "/" + c_szQuarnJobsDir;
}

// The entry of a job is named after the job base name's last component.
std::string EntryPath(const std::string &strScanDir, const std::string &strJob)
{
    const size_t nSlash = strJob.rfind('/');
    return JobsDir(strScanDir) + "/" + strJob.substr(nSlash == std::string::npos ? 0 : nSlash + 1);
}

struct stEntry
{
    bool bLive = false;
    uid_t uid = 0;
    std::string strTarget;
};

// A missing or malformed entry reads as a dead one.
stEntry ReadEntry(int fdDir, const char *szName)
{
    stEntry entry;
    const int fd = openat(fdDir, szName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return entry;
    char szText[c_iEntrySize] = {};
    const ssize_t r = read(fd, szText, sizeof(szText) - 1);
    unsigned long ulUid = 0;
    char szTarget[c_iEntrySize] = {};
    if (r > 0 && std::sscanf(szText, "%lu %127s", &ulUid, szTarget) == 2) {
        entry.uid = uid_t(ulUid);
        entry.strTarget = szTarget;
        entry.bLive = flock(fd, LOCK_SH | LOCK_NB) != 0;
    }
    close(fd);
    return entry;
}

bool PagesOfOtherUser(const std::string &strScanDir, uid_t uid, const char *szJob)
{
    DIR *pDir = opendir(strScanDir.c_str());
    if (!pDir)
        return false;
    bool bOther = false;
    while (const dirent *pEntry = readdir(pDir)) {
        struct stat st;
        if (QuarnIsPageOfJob(strScanDir + "/" + pEntry->d_name, szJob) &&
            fstatat(dirfd(pDir), pEntry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid != uid)
            bOther = true;
    }
    closedir(pDir);
    return bOther;
}

bool LiveScanOfOtherUser(const std::string &strScanDir, uid_t uid, const std::string &strTarget,
                         const std::string &strJobEntry)
{
    DIR *pDir = opendir(JobsDir(strScanDir).c_str());
    if (!pDir)
        return false;
    bool bOther = false;
    while (const dirent *pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.')
            continue;
        const bool bNamed = !strJobEntry.empty() && strJobEntry == pEntry->d_name;
        const stEntry entry = ReadEntry(dirfd(pDir), pEntry->d_name);
        const bool bSameScanner = entry.bLive && !strTarget.empty() && entry.strTarget == strTarget;
        if ((bNamed || bSameScanner) && entry.uid != uid)
            bOther = true;
    }
    closedir(pDir);
    return bOther;
}

// The connection process whose id a page file's name carries is still this daemon's.
bool ConnectionAlive(const char *szPageName)
{
    const char *szPid = szPageName + std::strlen(c_szQuarnJobPrefix);
    char *pEnd = nullptr;
    const long lPid = std::strtol(szPid, &pEnd, 10);
    if (pEnd == szPid || *pEnd != '_' || lPid <= 0)
        return false;
    char szPath[64];
    std::snprintf(szPath, sizeof(szPath), "/proc/%ld/comm", lPid);
    const int fd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char szComm[32] = {};
    const ssize_t r = read(fd, szComm, sizeof(szComm) - 1);
    close(fd);
    return r > 0 && std::strncmp(szComm, c_szDaemonComm, std::strlen(c_szDaemonComm)) == 0;
}

void SweepPages(const std::string &strScanDir)
{
    DIR *pDir = opendir(strScanDir.c_str());
    if (!pDir)
        return;
    while (const dirent *pEntry = readdir(pDir)) {
        const char *szName = pEntry->d_name;
        if (std::strncmp(szName, c_szQuarnJobPrefix, std::strlen(c_szQuarnJobPrefix)) != 0 || ConnectionAlive(szName))
            continue;
        struct stat st;
        if (fstatat(dirfd(pDir), szName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            unlinkat(dirfd(pDir), szName, 0);
    }
    closedir(pDir);
}

void SweepEntries(const std::string &strScanDir)
{
    DIR *pDir = opendir(JobsDir(strScanDir).c_str());
    if (!pDir)
        return;
    while (const dirent *pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] != '.' && !ReadEntry(dirfd(pDir), pEntry->d_name).bLive)
            unlinkat(dirfd(pDir), pEntry->d_name, 0);
    }
    closedir(pDir);
}
}  // namespace

std::string QuarnNetTarget(const char *szIP)
{
    return std::string("net:") + szIP;
}

std::string QuarnUsbTarget(int fdDevice)
{
    struct stat st;
    if (fdDevice < 0 || fstat(fdDevice, &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    return "usb:" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

int QuarnRegisterJob(const std::string &strScanDir, const std::string &strJob, uid_t uid,
                     const std::string &strTarget)
{
    mkdir(JobsDir(strScanDir).c_str(), c_modeJobsDir);
    const std::string strPath = EntryPath(strScanDir, strJob);
    const int fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, c_modeQuarnPageFile);
    if (fd < 0)
        return -1;
    const std::string strText = std::to_string(uid) + " " + (strTarget.empty() ? "-" : strTarget) + "\n";
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || write(fd, strText.data(), strText.size()) != ssize_t(strText.size())) {
        close(fd);
        unlink(strPath.c_str());
        return -1;
    }
    return fd;
}

void QuarnUnregisterJob(const std::string &strScanDir, const std::string &strJob)
{
    unlink(EntryPath(strScanDir, strJob).c_str());
}

bool QuarnJobOfOtherUser(const std::string &strScanDir, uid_t uid, const std::string &strTarget, const char *szJob)
{
    const std::string strJob = szJob ? szJob : "";
    const std::string strEntry = strJob.empty() ? std::string() : EntryPath(strScanDir, strJob);
    const std::string strEntryName = strEntry.empty() ? std::string() : strEntry.substr(strEntry.rfind('/') + 1);
    if (LiveScanOfOtherUser(strScanDir, uid, strTarget, strEntryName))
        return true;
    return !strJob.empty() && PagesOfOtherUser(strScanDir, uid, strJob.c_str());
}

void QuarnPrepareScanDir(const std::string &strScanDir)
{
    if (mkdir(strScanDir.c_str(), c_modeQuarnScanDir) != 0)
        chmod(strScanDir.c_str(), c_modeQuarnScanDir);
    const std::string strJobs = JobsDir(strScanDir);
    if (mkdir(strJobs.c_str(), c_modeJobsDir) != 0)
        chmod(strJobs.c_str(), c_modeJobsDir);
    SweepPages(strScanDir);
    SweepEntries(strScanDir);
}
