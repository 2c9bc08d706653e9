// The simulator's adapter file: global lines, then one [adapter] block per adapter in the driver's order.
// The format is described in docs/d2xx-simulator.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pravexsim {

struct Failure {
    std::string name;         // D2XX function name, e.g. "FT_SetBitMode"
    std::uint32_t status = 0; // returned instead of doing the call
    int remaining = 0;        // calls left to fail; 0 = every call
};

struct AdapterConfig {
    std::string serial;
    std::string description;
    std::uint32_t type = 5;
    std::uint32_t id = 0x04036001;
    std::uint32_t location = 0;
    std::uint32_t flags = 0;
    std::string tty; // empty: no COM port
    bool hasComNumber = false;
    std::int32_t comNumber = 0;
    std::size_t userAreaSize = 64;
    std::vector<std::uint8_t> userArea;
    int uaReadCount = -1; // bytes a user-area read yields at most; -1 = no limit
    std::uint8_t pins = 0xFF;
    std::uint8_t cbus = 0x0F;
    std::uint32_t rxQueue = 0;
    std::vector<Failure> failures;
    std::string block; // the block's text: an unchanged block keeps its adapter's state across reloads
};

struct SimConfig {
    std::string journal;
    std::vector<Failure> failures;
    std::vector<AdapterConfig> adapters;
};

// Parses text; false with a message naming the line for the first bad line (nothing else is lost: the
// lines before it are kept).
bool ParseConfig(const std::string& text, SimConfig& config, std::string& error);
bool LoadConfig(const std::string& path, SimConfig& config, std::string& error);

} // namespace pravexsim
