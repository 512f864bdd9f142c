// Who owns which scan. Each running scan has an entry in the scan directory's ".jobs"
// folder (root's alone) naming the uid of its client and the scanner it drives; the data
// process holds a lock on the entry for its whole life, so a locked entry is a live scan
// and the lock goes with the process however it ends. Page files carry their owner in
// the file system.
#pragma once

#include <sys/types.h>

#include <string>

constexpr mode_t c_modeQuarnScanDir = 0711; // owners open their pages; nobody lists names
constexpr mode_t c_modeQuarnPageFile = 0600;
constexpr char c_szQuarnJobsDir[] = ".jobs";

// The scanner a scan drives, as entries name it: "net:<address>" or "usb:<major>:<minor>"
// of the device node behind a handle ("" when the handle is no device node).
std::string QuarnNetTarget(const char *szIP);
std::string QuarnUsbTarget(int fdDevice);

// Records a scan about to start; the returned descriptor holds the entry's lock and is
// to be kept open by the data process alone. -1 when the entry cannot be made.
int QuarnRegisterJob(const std::string &strScanDir, const std::string &strJob, uid_t uid,
                     const std::string &strTarget);
void QuarnUnregisterJob(const std::string &strScanDir, const std::string &strJob);

// True when the scanner is busy with a live scan of another uid, or the named job (a job
// base name, may be empty) is another uid's: an abort then must not touch anything.
bool QuarnJobOfOtherUser(const std::string &strScanDir, uid_t uid, const std::string &strTarget, const char *szJob);

// At start: the scan directory gets its mode, the registry its folder, and page files
// and entries of scans whose connection process is gone are removed.
void QuarnPrepareScanDir(const std::string &strScanDir);
