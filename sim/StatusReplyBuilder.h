// Builds printer status replies the way the printers send them: the standard
// fixed-order layout and the KQ record list inside an NPA reply frame. Used by
// the printer simulator and by the tests.
#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>

struct stSupplyItem
{
    std::uint16_t usId;
    QByteArray baValue;
};

struct stStandardReply
{
    QByteArray baPrefix = QByteArray(7, '\0');
    QByteArray baVender = "Ostrel";
    QByteArray baProduct = "VX3010";
    QByteArray baSerial = "SN0001";
    std::uint8_t ucStatus = 0;  // ready
    QByteArray baFWVersion = "1.0.0";
    QByteArray baText5;
    QList<std::uint16_t> listError;
    QList<std::uint16_t> listWarning;
    QList<stSupplyItem> listSupply;
};

QByteArray BuildStandardReply(const stStandardReply &reply);
// A supply item whose value is a big-endian number of the given width.
stSupplyItem SupplyNumber(std::uint16_t usId, std::uint64_t value, int iWidth);

struct stKQRecord
{
    std::uint16_t usType;
    QByteArray baValue;
};

// KQ record helpers: state (type 6), qualifier (7), error (9), warning (12), toner (29).
stKQRecord KQState(std::uint8_t ucValue);
stKQRecord KQQualifier(std::uint8_t ucValue);
stKQRecord KQError(std::uint16_t usCode);
stKQRecord KQWarning(std::uint16_t usCode);
stKQRecord KQToner(std::uint8_t ucPercent);

struct stKQReply
{
    QList<stKQRecord> listRecord;
    int iRecordCount = -1;  // -1: the number of records
    std::uint8_t ucReturn = 0;
};

// The reply frame for a request whose sequence number is sn (4 bytes).
QByteArray BuildKQReplyFrame(const unsigned char *sn, const stKQReply &reply);
// The body of a KQ reply as the decoders see it: 7 zero bytes, then the frame.
QByteArray KQStatusBuffer(const QByteArray &baFrame);
