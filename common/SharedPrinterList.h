// The printer list that one manager thread replaces and many worker threads read
// and write back; every access holds the one lock beside the list.
#pragma once

#include <QList>
#include <QMutex>
#include <QMutexLocker>

#include "PrinterModel.h"

class SharedPrinterList
{
public:
    template <class F>
    auto With(F f)
    {
        QMutexLocker lock(&m_mutex);
        return f(m_list);
    }

    int Size()
    {
        return With([](const QList<stPrinterManager> &list) { return list.size(); });
    }

    // Copies element i out; false when the index is outside the list.
    bool CopyOut(int i, stPrinterManager &out)
    {
        return With([&](const QList<stPrinterManager> &list) {
            if (i < 0 || i >= list.size())
                return false;
            out = list.at(i);
            return true;
        });
    }

    void Replace(const QList<stPrinterManager> &listNew)
    {
        With([&](QList<stPrinterManager> &list) { list = listNew; });
    }

private:
    QMutex m_mutex;
    QList<stPrinterManager> m_list;
};

// One fresh element per queue, in order: initial state, no jobs.
inline QList<stPrinterManager> InitPrinterList(const QList<stPrinterInfo> &listInfo)
{
    QList<stPrinterManager> list;
    for (const stPrinterInfo &info : listInfo) {
        stPrinterManager m;
        m.stInfo = info;
        list.append(m);
    }
    return list;
}

// Whether the element still describes the printer a worker copied out earlier.
inline bool IsSamePrinter(const stPrinterManager &a, const stPrinterManager &b)
{
    return a.stInfo.strPrinterName == b.stInfo.strPrinterName && a.stInfo.strDeviceURI == b.stInfo.strDeviceURI;
}
