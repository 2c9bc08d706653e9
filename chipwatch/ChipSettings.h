// Stored settings of the chip watcher window: adapter aliases shared by every application, and the
// per-application default adapter, pinned state and view choice. Also the small pure rules the window
// applies to what it shows (port check, alias choice, fade-in curve).
#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace chipwatch {

// Key shared by all applications: one string value per adapter serial number.
inline const QString kAliasKey = QStringLiteral("Software\\AliasFT232a");

// "Software\" + title + "_spinka": the per-application key.
QString SpinkaKeyFor(const QString& applicationTitle);
// The title the framework reports for this application (its display name).
QString CurrentApplicationTitle();

// Empty serial numbers can have no alias: the read gives empty, the write does nothing.
QString ReadAlias(const QString& serial);
void WriteAlias(const QString& serial, const QString& alias);

// Values under one application's key. Reads give the defaults on any failure.
class TChipSettings {
public:
    explicit TChipSettings(QString key) : FKey(std::move(key)) {}
    const QString& key() const { return FKey; }

    QString ReadDefaultChip() const;
    void StoreDefault(const QString& serial) const;
    void ClearDefault() const; // leaves the value present and empty
    // Only 1 means pinned; the raw number is returned so callers compare with 1.
    int ReadPinned() const;
    void WritePinned(int pinned) const;
    bool ReadMiniVer() const;
    void WriteMiniVer(bool mini) const;

private:
    QString FKey;
};

// A port list may be shown only when every port name passes: no "?" and a trailing number of at most
// three digits (refuses the failure marker and absurd numbers like COM4294967295).
bool PortPassesCheck(const QString& port);

// Text of the Description column in the mini view: a non-blank alias, else a maker's description that
// carries "QRB" (case-sensitive), else the USB description.
QString MiniDescriptionText(const QString& alias, const QString& orvakDesc, const QString& description);

// Opacity by fade step: monotone, slow start, through the fixed anchor values.
const std::array<std::uint8_t, 256>& FadeInTable();

} // namespace chipwatch
