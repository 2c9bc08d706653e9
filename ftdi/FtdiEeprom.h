// The EEPROM user area of FTDI chips, worked on an image in memory: where it lies (after the last string
// descriptor, up to the end of the string space), the checksum, and a patch that keeps strings intact.
#pragma once

#include <cstdint>
#include <vector>

struct FtdiUserAreaSpan {
    int start = 0;
    int length = 0;
};

// Free string space (descriptors and user area together) of a chip, by D2XX type code.
int FtdiEepromStringSpace(std::uint32_t d2xxType);
// The checksum over all words but the last: start 0xAAAA, per word xor, then rotate left by one.
std::uint16_t FtdiEepromChecksum(const std::uint8_t* image, int size);
bool FtdiEepromChecksumValid(const std::uint8_t* image, int size);
// False for a blank (all 0xFF) image or string pointers outside it.
bool FtdiEepromUserArea(const std::uint8_t* image, int size, std::uint32_t d2xxType, FtdiUserAreaSpan& span);
// Writes data at the start of the user area and renews the checksum. False (image untouched) when the
// layout is not valid or data is longer than the user area.
bool FtdiEepromPatchUserArea(std::vector<std::uint8_t>& image, std::uint32_t d2xxType,
                             const std::uint8_t* data, int length);
