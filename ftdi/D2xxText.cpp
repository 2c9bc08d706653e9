// Field texts and the bytes behind them. A text read both ways ("Prüf" from single bytes or from UTF-8)
// cannot tell which bytes it came from, so the bytes of each text read are kept for the way back.
#include "D2xxText.h"

#include <QHash>
#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

std::mutex gSeenLock;
QHash<QString, QByteArray> gSeen;
// Adapters come and go; the kept pairs must not grow without end.
constexpr qsizetype SeenLimit = 512;

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong forms, no surrogates, nothing
// beyond U+10FFFF.
bool validUtf8(const char* s, qsizetype n) {
    qsizetype i = 0;
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        qsizetype more = 0;
        char32_t cp = 0;
        char32_t least = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            more = 1;
            cp = c & 0x1F;
            least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2;
            cp = c & 0x0F;
            least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3;
            cp = c & 0x07;
            least = 0x10000;
        } else {
            return false;
        }
        if (i + more >= n)
            return false;
        for (qsizetype k = 1; k <= more; ++k) {
            if (!isContinuation(s[i + k]))
                return false;
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

bool singleBytes(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
}

} // namespace

QString D2xxFieldText(const char* field, qsizetype size) {
    if (!field || size <= 0)
        return {};
    const auto len = qsizetype(strnlen(field, std::size_t(size)));
    bool ascii = true;
    for (qsizetype i = 0; i < len && ascii; ++i)
        ascii = static_cast<unsigned char>(field[i]) < 0x80;
    if (ascii)
        return QString::fromLatin1(field, len);
    const QString text =
        validUtf8(field, len) ? QString::fromUtf8(field, len) : QString::fromLatin1(field, len);
    std::lock_guard lock(gSeenLock);
    if (gSeen.size() >= SeenLimit)
        gSeen.clear();
    gSeen.insert(text, QByteArray(field, len));
    return text;
}

QByteArray D2xxKeyBytes(const QString& text, qsizetype maxBytes) {
    {
        std::lock_guard lock(gSeenLock);
        const auto it = gSeen.constFind(text);
        if (it != gSeen.constEnd() && it->size() <= maxBytes)
            return *it;
    }
    if (singleBytes(text))
        return text.toLatin1().left(std::max<qsizetype>(maxBytes, 0));
    return D2xxUtf8Cut(text, maxBytes);
}

QByteArray D2xxUtf8Cut(const QString& text, qsizetype maxBytes) {
    QByteArray bytes = text.toUtf8();
    if (bytes.size() <= maxBytes)
        return bytes;
    qsizetype cut = std::max<qsizetype>(maxBytes, 0);
    while (cut > 0 && isContinuation(bytes[cut]))
        --cut;
    bytes.truncate(cut);
    return bytes;
}
