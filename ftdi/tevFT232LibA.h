// CBUS helpers on whatever adapter the D2XX layer holds, and the chip-type names of the device list.
// The helpers never open, close or choose an adapter; the caller holds the layer (D2xxSession).
#pragma once

#include <QString>
#include <array>
#include <cstdint>

inline constexpr std::array<const char*, 9> ChipTypeNames = {"FTU232BM", "FT8U232AM",   "FT_DEVICE_100AX",
                                                             "unknown",  "FT2232C/L/D", "FT232R",
                                                             "FT2232H",  "FT4232H",     "FT232H"};

// The name of a device type code; a code beyond the table is "unknown", like the table's own unknown type.
QString ChipTypeName(std::uint32_t deviceType);

// CBUS bit-bang (mode 0x20): direction nibble in the high half of the mask, levels in the low half.
std::uint32_t SetCbusBitBang(std::uint8_t direction, std::uint8_t levels);
// Drives CBUSpin alone as an output (1 = high); the other three become inputs. Nothing for a blank serial.
void DriveSingleCbusPin(const QString& serial, std::uint8_t pin, std::uint8_t level);
// Sets CBUSpin's level in the remembered nibble state and drives all four pins at the nibble's levels.
void WriteCbusPin(const QString& serial, std::uint8_t pin, std::uint8_t level, std::uint8_t& state);
// The four CBUS levels (bit n = CBUSn); 0 for an empty serial.
std::uint8_t ReadCbusPins(const QString& serial);
