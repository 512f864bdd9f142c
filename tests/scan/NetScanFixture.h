// A test with the real scan daemon under a private root and one simulated network
// scanner; both are stopped and checked when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

#include "NetScannerSim.h"
#include "QuarnTestSupport.h"
#include "TestSupport.h"

class NetScanFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        ASSERT_TRUE(m_daemon.Start());
    }

    void TearDown() override
    {
        EXPECT_TRUE(m_sim.Stop()) << m_sim.Output().toStdString();
        EXPECT_TRUE(m_daemon.Stop()) << "processes left: " << m_daemon.Processes().size();
    }

    bool StartSim(const QString &strAddress, const QStringList &listSettings = {}, const QStringList &listExtra = {})
    {
        const bool bStarted = m_sim.Start(strAddress, listSettings, listExtra);
        if (!bStarted)
            ADD_FAILURE() << "net_scanner_sim did not start: " << m_sim.Output().toStdString();
        return bStarted;
    }

    // Page files in the daemon's scan directory, links included.
    QStringList PageFiles() const
    {
        return QDir(m_root.path() + "/scan").entryList({"ostrelscandata_*"}, QDir::Files | QDir::System);
    }

    // A process of the daemon whose parent is the given one; waits a little for it,
    // as a fork is not instantaneous. -1 when there is none.
    pid_t ChildOf(pid_t pidParent) const
    {
        pid_t pidFound = -1;
        WaitUntil([&] {
            for (pid_t pid : m_daemon.Processes()) {
                if (ParentOf(pid) == pidParent)
                    pidFound = pid;
            }
            return pidFound > 0;
        }, std::chrono::seconds(5));
        return pidFound;
    }

    // The process serving the (one) connected client.
    pid_t ConnectionProcess() const { return ChildOf(m_daemon.Listener()); }

    QTemporaryDir m_root;
    QuarnDaemon m_daemon {m_root.path()};
    NetScannerSim m_sim;
};
