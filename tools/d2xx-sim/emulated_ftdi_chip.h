// An FTDI chip as its USB vendor requests show it, for the native backend's control-transfer seam: an
// EEPROM of 64 words (FT232R's own, or a 93C46) or 128 words (93C56), answered as the part does (a 93C46
// ignores the address bits above its size, so words 0x40.. mirror 0x00..), pin levels, and faults to
// inject. Header only: tests and benchmarks both put it behind the seam. The storage may live in shared
// memory, so that two processes can work on one chip.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

struct EmulatedFtdiChip {
    int busnum = 1;
    int devnum = 99;
    int words = 64;
    std::array<std::uint8_t, 256> eeprom{};
    std::uint8_t pins = 0xA5;
    int eepromReads = 0;  // word reads answered
    int eepromWrites = 0; // word writes taken or refused
    // Faults.
    int misreadAt = -1;           // this word read (counted from 0) answers a flipped bit
    int stuckWord = -1;           // writes to this word do not take
    int failWriteAt = -1;         // this word write (counted from 0) fails as a transfer
    int otherRequests = 0;        // requests that are neither EEPROM nor pin reads
    int transferMicroseconds = 0; // how long each request takes, as on a real bus

    void load(const std::vector<std::uint8_t>& image) {
        eeprom.fill(0xFF);
        std::memcpy(eeprom.data(), image.data(), std::min<std::size_t>(image.size(), eeprom.size()));
        words = int(image.size()) / 2;
    }
    std::vector<std::uint8_t> image() const { return {eeprom.begin(), eeprom.begin() + 2 * words}; }

    static int transfer(void* context, int busnum, int devnum, std::uint8_t type, std::uint8_t request,
                        std::uint16_t value, std::uint16_t index, unsigned char* data, std::uint16_t length) {
        auto* chip = static_cast<EmulatedFtdiChip*>(context);
        if (busnum != chip->busnum || devnum != chip->devnum)
            return -4; // no such device
        if (chip->transferMicroseconds > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(chip->transferMicroseconds));
        if (type == 0xC0 && request == 0x90 && length == 2) {
            const int w = index % chip->words;
            data[0] = chip->eeprom[std::size_t(2 * w)];
            data[1] = chip->eeprom[std::size_t(2 * w + 1)];
            if (chip->eepromReads++ == chip->misreadAt)
                data[0] ^= 0x10;
            return 2;
        }
        if (type == 0x40 && request == 0x91) {
            if (chip->eepromWrites++ == chip->failWriteAt)
                return -1; // LIBUSB_ERROR_IO
            const int w = index % chip->words;
            if (w != chip->stuckWord) {
                chip->eeprom[std::size_t(2 * w)] = std::uint8_t(value & 0xFF);
                chip->eeprom[std::size_t(2 * w + 1)] = std::uint8_t(value >> 8);
            }
            return 0;
        }
        if (type == 0xC0 && request == 0x0C && length == 1) {
            data[0] = chip->pins;
            return 1;
        }
        ++chip->otherRequests;
        return 0;
    }
};

// An EEPROM image of the given size with three string descriptors and a valid checksum, laid out as
// FTDI's chips read it: pointer bytes at 0x0E..0x13 (offset | 0x80, byte length), strings from 0x1A.
inline std::vector<std::uint8_t> EmulatedFtdiImage(int size, const std::string& maker,
                                                   const std::string& product, const std::string& serial) {
    std::vector<std::uint8_t> image(std::size_t(size), 0);
    image[0] = 0x00;
    image[2] = 0x03; // vendor 0x0403
    image[3] = 0x04;
    int at = 0x1A;
    int k = 0;
    for (const std::string* s : {&maker, &product, &serial}) {
        const int bytes = 2 + 2 * int(s->size());
        image[std::size_t(0x0E + 2 * k)] = std::uint8_t(at | 0x80);
        image[std::size_t(0x0F + 2 * k)] = std::uint8_t(bytes);
        image[std::size_t(at)] = std::uint8_t(bytes);
        image[std::size_t(at + 1)] = 0x03;
        for (std::size_t i = 0; i < s->size(); ++i)
            image[std::size_t(at + 2 + 2 * int(i))] = std::uint8_t((*s)[i]);
        at += bytes;
        ++k;
    }
    std::uint16_t sum = 0xAAAA;
    for (int i = 0; i < size - 2; i += 2) {
        sum ^= std::uint16_t(image[std::size_t(i)] | (image[std::size_t(i + 1)] << 8));
        sum = std::uint16_t((sum << 1) | (sum >> 15));
    }
    image[std::size_t(size - 2)] = std::uint8_t(sum & 0xFF);
    image[std::size_t(size - 1)] = std::uint8_t(sum >> 8);
    return image;
}
