// Chip watcher settings over the per-user settings store, and the window's pure display rules.
#include "ChipSettings.h"

#include "common/TevTools.h"

#include <QGuiApplication>

namespace chipwatch {

QString SpinkaKeyFor(const QString& applicationTitle) {
    return QStringLiteral("Software\\") + applicationTitle + QStringLiteral("_spinka");
}

QString CurrentApplicationTitle() {
    QString title = QGuiApplication::applicationDisplayName();
    if (title.isEmpty())
        title = QCoreApplication::applicationName();
    return title;
}

QString ReadAlias(const QString& serial) {
    if (serial.isEmpty())
        return {};
    return RegReadString(serial, QString(), kAliasKey);
}

void WriteAlias(const QString& serial, const QString& alias) {
    if (serial.isEmpty())
        return;
    RegWriteString(serial, alias, kAliasKey);
}

QString TChipSettings::ReadDefaultChip() const {
    return RegReadString(QStringLiteral("DefaultChip"), QString(), FKey);
}

void TChipSettings::StoreDefault(const QString& serial) const {
    RegWriteString(QStringLiteral("DefaultChip"), serial, FKey);
}

void TChipSettings::ClearDefault() const {
    RegWriteString(QStringLiteral("DefaultChip"), QString(), FKey);
}

int TChipSettings::ReadPinned() const {
    return RegReadInteger(QStringLiteral("spinka"), 0, FKey);
}

void TChipSettings::WritePinned(int pinned) const {
    RegWriteInteger(QStringLiteral("spinka"), pinned, FKey);
}

bool TChipSettings::ReadMiniVer() const {
    return RegReadBool(QStringLiteral("MiniVer"), false, FKey);
}

void TChipSettings::WriteMiniVer(bool mini) const {
    RegWriteBool(QStringLiteral("MiniVer"), mini, FKey);
}

bool PortPassesCheck(const QString& port) {
    if (port.contains(QLatin1Char('?')))
        return false;
    int digits = 0;
    for (qsizetype i = port.size() - 1; i >= 0 && port.at(i).isDigit(); --i)
        ++digits;
    return digits <= 3;
}

QString MiniDescriptionText(const QString& alias, const QString& orvakDesc, const QString& description) {
    if (!alias.trimmed().isEmpty())
        return alias;
    if (!orvakDesc.trimmed().isEmpty() && orvakDesc.contains(QStringLiteral("QRB")))
        return orvakDesc;
    return description;
}

namespace {

// Linear between the anchors keeps the curve monotone and exact at every anchor; the flat start
// (1 up to 52) is where the window barely shows.
constexpr std::array<std::uint8_t, 256> MakeFadeInTable() {
    constexpr int idx[] = {0, 24, 48, 52, 72, 96, 120, 144, 168, 192, 216, 240, 243, 246, 249, 252, 255};
    constexpr int val[] = {0, 1, 1, 1, 4, 10, 22, 39, 65, 100, 148, 209, 218, 227, 236, 245, 255};
    std::array<std::uint8_t, 256> t{};
    for (int s = 0; s + 1 < int(std::size(idx)); ++s) {
        for (int i = idx[s]; i <= idx[s + 1]; ++i) {
            const int span = idx[s + 1] - idx[s];
            t[std::size_t(i)] =
                std::uint8_t(val[s] + ((val[s + 1] - val[s]) * (i - idx[s]) + span / 2) / span);
        }
    }
    for (int i = 1; i <= 52; ++i)
        t[std::size_t(i)] = 1;
    return t;
}

constexpr std::array<std::uint8_t, 256> kFadeInTable = MakeFadeInTable();

} // namespace

const std::array<std::uint8_t, 256>& FadeInTable() {
    return kFadeInTable;
}

} // namespace chipwatch
