// Base of the long-running worker objects: run-once guard, quit flag and a sleep
// that notices the quit flag within one slice.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>

constexpr int c_iSleepSliceMs = 500;

class UtilThreadBase : public QObject
{
    Q_OBJECT

public:
    explicit UtilThreadBase(QObject *parent = nullptr);
    ~UtilThreadBase() override;

    // True when the quit flag is or becomes set; task loops run while it is false.
    bool WaitForSleep(int iMilliseconds);
    static bool MakePathExist(const QString &strPath);

    void RequestQuit() { m_bQuit.store(true, std::memory_order_relaxed); }
    bool IsQuitRequested() const { return m_bQuit.load(std::memory_order_relaxed); }

protected:
    // Run-once guard of SlotTaskStart: false when the loop was entered before.
    bool EnterTaskOnce() { return !m_bStarted.exchange(true, std::memory_order_relaxed); }

    std::atomic<bool> m_bStarted{false};
    std::atomic<bool> m_bQuit{false};
};

// True when another process with this program's command name is running.
bool CheckIsRunning();
// Processes whose command name equals strName cut to 15 characters, letter case ignored.
int CountProcessesNamed(const QString &strName);
