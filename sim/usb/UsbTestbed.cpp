#include "UsbTestbed.h"

#include <umockdev.h>

#include <stdexcept>

UsbTestbed::UsbTestbed() : m_pTestbed(umockdev_testbed_new())
{
}

UsbTestbed::~UsbTestbed()
{
    g_object_unref(m_pTestbed);
}

bool UsbTestbed::Emulated() const
{
    return umockdev_in_mock_environment();
}

int UsbTestbed::NextDeviceNumber()
{
    if (m_iNextDevnum > c_iLastDevnum)
        throw std::length_error("no free USB address left on the emulated bus");
    return m_iNextDevnum++;
}
