// What a network scanner sends back, parsed apart from the sockets: the scan data stream
// of port 2080 is read from a byte source, and the HTTP replies of port 80 are plain
// texts, so tests and fuzzers feed both from memory.
#pragma once

#include <cstddef>
#include <string_view>

#include "quarn_wire.h"

// Control lines and block headers of the scan data stream; the very first block of a
// job has a longer header with its length further in.
constexpr int c_iDataLineSize = 18;
constexpr int c_iBlockLengthOffset = 6;
constexpr int c_iFirstHeaderSize = 20;
constexpr int c_iFirstLengthOffset = 8;
constexpr int c_iLengthDigits = 6;

// Where the stream reader takes its bytes from. pfnRead answers 0 when all iCount bytes
// arrived and -1 otherwise.
struct stQuarnByteSource
{
    void *pContext;
    int (*pfnRead)(void *pContext, void *pData, int iCount);
};

// A byte source over memory: pass a stQuarnMemoryBytes as the context of QuarnReadMemory.
struct stQuarnMemoryBytes
{
    const unsigned char *pData;
    size_t nLeft;
};
int QuarnReadMemory(void *pContext, void *pData, int iCount);

// A length field: decimal digits, with spaces allowed before and after them as padding.
bool QuarnParseLength(const char *pField, int iWidth, int *piLength);

// Reads and drops the first block of a job: 0, or SANE_STATUS_IO_ERROR.
int QuarnSkipFirstBlock(stQuarnByteSource &src);

// One record of the stream: a page begins (status SCAN_STATUS_BEGIN_OF_PAGE, its page
// header dropped), a data block (its payload in *ppBuf, grown as needed and tracked in
// *piSize; *piLen its length), or the end of the job. Answers the record's status; after
// anything but 0 the stream is over.
int QuarnReadScanRecord(stQuarnByteSource &src, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen);

// The scan post's reply text: the status that its "RESULT" line stands for.
int quarn_http_ScanStartResult(const char *szReply);
// The capabilities reply text; fields whose key is missing stay as they are.
int quarn_ParseScanCapabilities(const char *szReply, ScannerCapabilities *pCaps);
int quarn_SetScanCapabilities(std::string_view key, std::string_view value, ScannerCapabilities *pCaps);
// The feeder status reply: its last byte names the state.
int QuarnAdfStatusOfReply(const char *pReply, int iLen, ADFStatus *pStatus);

// Whether the reply received so far is whole: its header ended and as many body bytes as
// its Content-Length announced are there. Without that header only the peer's close or
// the time limit ends a reply.
bool QuarnHttpReplyComplete(const char *pReply, int iLen);
