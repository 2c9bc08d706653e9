// CBUS mask shaping over the D2XX layer's current adapter, and the chip-type name look-up.
#include "tevFT232LibA.h"
#include "D2XXUnit.h"

QString ChipTypeName(std::uint32_t deviceType) {
    if (deviceType >= ChipTypeNames.size())
        return QStringLiteral("unknown");
    return QString::fromLatin1(ChipTypeNames[deviceType]);
}

std::uint32_t SetCbusBitBang(std::uint8_t direction, std::uint8_t levels) {
    const auto mask = std::uint8_t(((direction & 0x0F) << 4) | (levels & 0x0F));
    return D2xxSetBitMode(mask, FT_BITMODE_CBUS_BITBANG);
}

void DriveSingleCbusPin(const QString& serial, std::uint8_t pin, std::uint8_t level) {
    if (serial.trimmed().isEmpty())
        return;
    std::uint8_t direction = 0;
    std::uint8_t levels = 0;
    if (pin <= 3) {
        direction = std::uint8_t(1u << pin);
        levels = level == 1 ? direction : 0;
    }
    SetCbusBitBang(direction, levels);
}

void WriteCbusPin(const QString& /*serial*/, std::uint8_t pin, std::uint8_t level, std::uint8_t& state) {
    state &= 0x0F;
    if (pin <= 3) {
        if (level == 1)
            state |= std::uint8_t(1u << pin);
        else
            state &= std::uint8_t(~(1u << pin));
    }
    SetCbusBitBang(0x0F, state);
}

std::uint8_t ReadCbusPins(const QString& serial) {
    if (serial.isEmpty())
        return 0;
    std::uint8_t value = 0;
    D2xxGetBitMode(value);
    return value & 0x0F;
}
