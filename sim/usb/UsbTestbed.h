// The sandbox that emulated USB devices live in. Creating it points UMOCKDEV_DIR at a
// private /sys and /dev for this process and every program it starts afterwards.
#pragma once

typedef struct _UMockdevTestbed UMockdevTestbed;

class UsbTestbed
{
public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed &) = delete;
    UsbTestbed &operator=(const UsbTestbed &) = delete;

    // False when the process runs without the preload library: the devices would be
    // invisible, so the test skips. A member, because umockdev only answers this
    // correctly once a testbed exists and then keeps its first answer.
    bool Emulated() const;

    UMockdevTestbed *Handle() const { return m_pTestbed; }

    // Everything sits on bus 1; addresses are handed out in order, like the kernel does,
    // so a printer plugged in again comes back under a new node.
    int BusNumber() const { return c_iBus; }
    int NextDeviceNumber();

private:
    static constexpr int c_iBus = 1;
    static constexpr int c_iFirstDevnum = 2;  // 1 is the root hub
    static constexpr int c_iLastDevnum = 127;

    UMockdevTestbed *m_pTestbed = nullptr;
    int m_iNextDevnum = c_iFirstDevnum;
};
