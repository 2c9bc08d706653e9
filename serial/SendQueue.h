// The worker's send queue and the frames its entries become on the wire: checksum frame, RS-485
// station prefix or general call, start string and CR. Also the texts of the send step's reports.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

// One queued text. Flag 1 is a general call to every station, 0 is addressed to the configured one.
struct TSendEntry {
    QString Text;
    int Flag = 0;
    std::uint64_t Id = 0; // lets the send step remove exactly the entry it sent, even after a purge
};

// The queue guarded by its lock (FTCS). Every member takes the lock; the write itself never holds it.
class TSendQueue {
public:
    void Append(const QString& text, int flag);
    // The check command goes in front, and only into an empty queue, so the order stays first in first out.
    bool PushFrontIfEmpty(const QString& text, int flag);
    std::optional<TSendEntry> Head() const;
    // Removes the head if it is still the entry with this id; returns the number of entries left.
    int RemoveHead(std::uint64_t id);
    void Clear();
    int Count() const;
    // Without the lock, for a check made after every received line.
    bool Empty() const { return FCount.load(std::memory_order_acquire) == 0; }

    // The frame of the entry being sent, without start string and CR; empty while the queue is empty.
    QString CrcStr() const;
    void SetCrcStr(const QString& frame);

private:
    mutable std::mutex FTCS;
    std::deque<TSendEntry> FEntries;
    std::atomic<int> FCount{0};
    QString FTcrcStr;
    std::uint64_t FNextId = 1;
};

// Integer text as the settings take it: decimal with an optional sign, or hexadecimal after '$' or 0x.
std::optional<std::int32_t> ParseIntText(const QString& text);
int IntTextOr(const QString& text, int fallback);

// The station prefix: U+00FF for a general call, else the character of RS485adr (16 when not a number).
QString StationPrefix(const QString& rs485adr, bool generalCall);
// Sum of the UTF-16 code units as a 32-bit integer.
std::int32_t FrameChecksum(const QString& text);
// prefix + "$#" + checksum + "@" + text, without the CR.
QString ChecksumFrame(const QString& prefix, const QString& text);
// Bytes on the wire: the system's 8-bit code page is ISO-8859-1 here; a character past 0xFF becomes '?'.
std::string ToWireBytes(const QString& text);
QString FromWireBytes(const std::string& bytes);

// The name by which the send step's immediate report calls one of the line's own codes.
QString SerialErrorName(int code);
// "err - text" for codes 9991 and below, else "<code> - Serial Eror: <name>".
QString ImmediateSendReport(int code, const QString& lineText);
// The report at the drop of an entry: "999 - Serial ErrFrame" above 9991, else "err - text".
QString DropSendReport(int code, const QString& lineText);
