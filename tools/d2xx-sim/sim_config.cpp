// Parser of the simulator's adapter file: "key = value" lines, "#" comments, [adapter] blocks. Values may be
// double-quoted to keep blanks; "\xNN" in a quoted value is the byte NN.
#include "sim_config.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace pravexsim {
namespace {

std::string trim(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

bool unquote(const std::string& raw, std::string& out) {
    out.clear();
    if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') {
        out = raw;
        return true;
    }
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\\' && i + 2 < raw.size()) {
            const char next = raw[++i];
            if (next == 'x' && i + 2 < raw.size() && std::isxdigit(static_cast<unsigned char>(raw[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
                c = char(std::strtoul(raw.substr(i + 1, 2).c_str(), nullptr, 16));
                i += 2;
            } else if (next == 'n') {
                c = '\n';
            } else {
                c = next;
            }
        }
        out += c;
    }
    return true;
}

bool number(const std::string& text, long long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 0);
    return end && *end == 0;
}

const std::map<std::string, std::uint32_t> chipCodes = {
    {"FTU232BM", 0}, {"BM", 0},      {"FT8U232AM", 1}, {"AM", 1},          {"FT_DEVICE_100AX", 2},
    {"100AX", 2},    {"unknown", 3}, {"2232C", 4},     {"FT2232C/L/D", 4}, {"FT232R", 5},
    {"232R", 5},     {"FT2232H", 6}, {"2232H", 6},     {"FT4232H", 7},     {"4232H", 7},
    {"FT232H", 8},   {"232H", 8},    {"X", 9}};

bool failure(const std::string& value, Failure& f) {
    std::istringstream in(value);
    std::string status, count;
    in >> f.name >> status >> count;
    long long n = 0;
    if (f.name.empty() || !number(status, n) || n < 0)
        return false;
    f.status = std::uint32_t(n);
    f.remaining = 0;
    if (!count.empty()) {
        long long c = 0;
        if (!number(count, c) || c < 1)
            return false;
        f.remaining = int(c);
    }
    return true;
}

} // namespace

bool ParseConfig(const std::string& text, SimConfig& config, std::string& error) {
    config = SimConfig{};
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    AdapterConfig* adapter = nullptr;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string stripped = trim(line);
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        };
        if (stripped.empty() || stripped[0] == '#')
            continue;
        if (adapter)
            adapter->block += stripped + "\n";
        if (stripped == "[adapter]") {
            config.adapters.emplace_back();
            adapter = &config.adapters.back();
            continue;
        }
        const std::size_t eq = stripped.find('=');
        if (eq == std::string::npos)
            return fail("expected key = value");
        const std::string key = trim(stripped.substr(0, eq));
        std::string value;
        unquote(trim(stripped.substr(eq + 1)), value);
        long long n = 0;

        if (key == "journal" && !adapter) {
            config.journal = value;
        } else if (key == "fail") {
            Failure f;
            if (!failure(value, f))
                return fail("fail = NAME STATUS [COUNT]");
            (adapter ? adapter->failures : config.failures).push_back(f);
        } else if (!adapter) {
            return fail("unknown global key " + key);
        } else if (key == "serial") {
            adapter->serial = value;
        } else if (key == "description") {
            adapter->description = value;
        } else if (key == "type") {
            auto it = chipCodes.find(value);
            if (it != chipCodes.end())
                adapter->type = it->second;
            else if (number(value, n) && n >= 0)
                adapter->type = std::uint32_t(n);
            else
                return fail("bad type");
        } else if (key == "id" || key == "location" || key == "flags" || key == "rx_queue") {
            if (!number(value, n) || n < 0 || n > 0xFFFFFFFFLL)
                return fail("bad " + key);
            (key == "id"         ? adapter->id
             : key == "location" ? adapter->location
             : key == "flags"    ? adapter->flags
                                 : adapter->rxQueue) = std::uint32_t(n);
        } else if (key == "tty") {
            adapter->tty = value;
        } else if (key == "com_number") {
            if (!number(value, n))
                return fail("bad com_number");
            adapter->hasComNumber = true;
            adapter->comNumber = std::int32_t(n);
        } else if (key == "ua_size") {
            if (!number(value, n) || n < 0 || n > 256)
                return fail("ua_size must be 0..256");
            adapter->userAreaSize = std::size_t(n);
        } else if (key == "ua_text") {
            adapter->userArea.assign(value.begin(), value.end());
        } else if (key == "ua_hex") {
            adapter->userArea.clear();
            std::istringstream bytes(value);
            std::string byte;
            while (bytes >> byte) {
                if (!number("0x" + byte, n) || n < 0 || n > 255)
                    return fail("bad ua_hex byte " + byte);
                adapter->userArea.push_back(std::uint8_t(n));
            }
        } else if (key == "ua_read") {
            if (!number(value, n) || n < 0)
                return fail("bad ua_read");
            adapter->uaReadCount = int(n);
        } else if (key == "pins" || key == "cbus") {
            if (!number(value, n) || n < 0 || n > 255)
                return fail("bad " + key);
            (key == "pins" ? adapter->pins : adapter->cbus) = std::uint8_t(n);
        } else {
            return fail("unknown key " + key);
        }
    }
    return true;
}

bool LoadConfig(const std::string& path, SimConfig& config, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        config = SimConfig{};
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return ParseConfig(text.str(), config, error);
}

} // namespace pravexsim
