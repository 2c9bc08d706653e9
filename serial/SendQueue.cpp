// The send queue under its lock, frame building and the report texts of failed sends.
#include "SendQueue.h"

void TSendQueue::Append(const QString& text, int flag) {
    std::lock_guard<std::mutex> lock(FTCS);
    FEntries.push_back({text, flag, FNextId++});
    FCount.store(int(FEntries.size()), std::memory_order_release);
}

bool TSendQueue::PushFrontIfEmpty(const QString& text, int flag) {
    std::lock_guard<std::mutex> lock(FTCS);
    if (!FEntries.empty())
        return false;
    FEntries.push_front({text, flag, FNextId++});
    FCount.store(int(FEntries.size()), std::memory_order_release);
    return true;
}

std::optional<TSendEntry> TSendQueue::Head() const {
    std::lock_guard<std::mutex> lock(FTCS);
    if (FEntries.empty())
        return std::nullopt;
    return FEntries.front();
}

int TSendQueue::RemoveHead(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(FTCS);
    if (!FEntries.empty() && FEntries.front().Id == id)
        FEntries.pop_front();
    FCount.store(int(FEntries.size()), std::memory_order_release);
    return int(FEntries.size());
}

void TSendQueue::Clear() {
    std::lock_guard<std::mutex> lock(FTCS);
    FEntries.clear();
    FCount.store(0, std::memory_order_release);
}

int TSendQueue::Count() const {
    std::lock_guard<std::mutex> lock(FTCS);
    return int(FEntries.size());
}

QString TSendQueue::CrcStr() const {
    std::lock_guard<std::mutex> lock(FTCS);
    return FEntries.empty() ? QString() : FTcrcStr;
}

void TSendQueue::SetCrcStr(const QString& frame) {
    std::lock_guard<std::mutex> lock(FTCS);
    FTcrcStr = frame;
}

std::optional<std::int32_t> ParseIntText(const QString& text) {
    QString s = text;
    bool negative = false;
    if (s.startsWith(QLatin1Char('-')) || s.startsWith(QLatin1Char('+'))) {
        negative = s.startsWith(QLatin1Char('-'));
        s.remove(0, 1);
    }
    int base = 10;
    if (s.startsWith(QLatin1Char('$'))) {
        s.remove(0, 1);
        base = 16;
    } else if (s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        s.remove(0, 2);
        base = 16;
    }
    if (s.isEmpty())
        return std::nullopt;
    // Only plain digits: QString's parser would accept spaces and a second sign.
    for (QChar c : s) {
        const bool digit = c.isDigit() && c.unicode() < 128;
        const bool hexLetter = (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f'));
        if (!digit && !(base == 16 && hexLetter))
            return std::nullopt;
    }
    bool ok = false;
    const qlonglong v = s.toLongLong(&ok, base);
    if (!ok)
        return std::nullopt;
    const qlonglong signedValue = negative ? -v : v;
    // Hexadecimal texts cover the whole 32-bit pattern ($FFFFFFFF is -1), as the settings always did.
    if (base == 16 && !negative && v <= 0xFFFFFFFFLL)
        return std::int32_t(std::uint32_t(v));
    if (signedValue < INT32_MIN || signedValue > INT32_MAX)
        return std::nullopt;
    return std::int32_t(signedValue);
}

int IntTextOr(const QString& text, int fallback) {
    return ParseIntText(text).value_or(fallback);
}

QString StationPrefix(const QString& rs485adr, bool generalCall) {
    if (generalCall)
        return QString(QChar(0x00FF));
    const std::int32_t adr = ParseIntText(rs485adr).value_or(16);
    return QString(QChar(char16_t(std::uint32_t(adr) & 0xFFFF)));
}

std::int32_t FrameChecksum(const QString& text) {
    std::uint32_t sum = 0;
    for (QChar c : text)
        sum += c.unicode();
    return std::int32_t(sum);
}

QString ChecksumFrame(const QString& prefix, const QString& text) {
    return prefix + QLatin1String("$#") + QString::number(FrameChecksum(text)) + QLatin1Char('@') + text;
}

std::string ToWireBytes(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

QString FromWireBytes(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

QString SerialErrorName(int code) {
    switch (code) {
    case 9991:
        return QStringLiteral("ErrAlreadyOwned");
    case 9992:
        return QStringLiteral("ErrAlreadyInUse");
    case 9993:
        return QStringLiteral("ErrWrongParameter");
    case 9994:
        return QStringLiteral("ErrPortNotOpen");
    case 9995:
        return QStringLiteral("ErrNoDeviceAnswer");
    case 9996:
        return QStringLiteral("ErrMaxBuffer");
    case 9997:
        return QStringLiteral("ErrTimeout");
    case 9998:
        return QStringLiteral("ErrNotRead");
    case 9999:
        return QStringLiteral("ErrFrame");
    case 10000:
        return QStringLiteral("ErrOverrun");
    case 10001:
        return QStringLiteral("ErrRxOver");
    case 10002:
        return QStringLiteral("ErrRxParity");
    case 10003:
        return QStringLiteral("ErrTxFull");
    default:
        return QStringLiteral("ErrUnknown");
    }
}

QString ImmediateSendReport(int code, const QString& lineText) {
    if (code <= 9991)
        return QStringLiteral("err - ") + lineText;
    return QString::number(code) + QStringLiteral(" - Serial Eror: ") + SerialErrorName(code);
}

QString DropSendReport(int code, const QString& lineText) {
    if (code > 9991)
        return QStringLiteral("999 - Serial ErrFrame");
    return QStringLiteral("err - ") + lineText;
}
