// The Telnet byte level and the network port names: data and option talk cut at every byte, doubled
// 0xFF both ways, oversized sub-negotiations, and the names a user may type.
// labels: unit
#include "NetworkPortName.h"
#include "TelnetCodec.h"
#include "TelnetComPort.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace telnet;

struct Recorder : TTelnetCodec::Events {
    std::string log;
    void Option(unsigned char verb, unsigned char option) override {
        log += "opt " + std::to_string(verb) + " " + std::to_string(option) + ";";
    }
    void SubNegotiation(unsigned char option, std::string_view payload) override {
        log += "sb " + std::to_string(option) + " [";
        for (char c : payload)
            log += std::to_string(static_cast<unsigned char>(c)) + ",";
        log += "];";
    }
};

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s.push_back(char(b));
    return s;
}

TEST(TelnetCodec, DecodesTheSameWhereverTheReadsCutTheStream) {
    struct Case {
        const char* name;
        std::string wire;
        std::string data;
        std::string events;
    };
    const std::string big(TTelnetCodec::MaxSubNegotiation + 10, 'x');
    const std::vector<Case> cases = {
        {"plain data", "PVEX: 1.23V ON\r", "PVEX: 1.23V ON\r", ""},
        {"doubled 0xFF is one data byte", B({'A', 255, 255, 'B', 255, 255, 255, 255}),
         B({'A', 255, 'B', 255, 255}), ""},
        {"options between data", "a" + B({255, 253, 44, 255, 251, 0}) + "b", "ab", "opt 253 44;opt 251 0;"},
        {"modem state with a doubled 0xFF inside", B({255, 250, 44, 107, 255, 255, 255, 240}) + "x", "x",
         "sb 44 [107,255,];"},
        {"baud answer", B({255, 250, 44, 101, 0, 0, 37, 128, 255, 240}), "", "sb 44 [101,0,0,37,128,];"},
        {"NOP and GA carry nothing", B({'a', 255, 241, 'b', 255, 249, 'c'}), "abc", ""},
        {"oversized sub-negotiation dropped whole, data after it kept",
         B({255, 250, 44}) + big + B({255, 240}) + "ok", "ok", ""},
        {"sub-negotiation ended by another command", B({255, 250, 44, 107, 16, 255, 251, 1}) + "z", "z",
         "sb 44 [107,16,];opt 251 1;"},
    };
    for (const Case& c : cases) {
        // Whole, then in every two-piece cut, then byte by byte.
        std::vector<std::vector<std::size_t>> cuts = {{}};
        for (std::size_t at = 1; at < c.wire.size(); ++at)
            cuts.push_back({at});
        std::vector<std::size_t> every;
        for (std::size_t at = 1; at < c.wire.size(); ++at)
            every.push_back(at);
        cuts.push_back(every);
        for (const auto& cut : cuts) {
            TTelnetCodec codec;
            Recorder rec;
            std::string out;
            std::size_t from = 0;
            for (std::size_t at : cut) {
                codec.Decode(c.wire.data() + from, at - from, out, rec);
                from = at;
            }
            codec.Decode(c.wire.data() + from, c.wire.size() - from, out, rec);
            ASSERT_EQ(out, c.data) << c.name << " cut in " << cut.size() + 1;
            ASSERT_EQ(rec.log, c.events) << c.name << " cut in " << cut.size() + 1;
        }
    }
}

TEST(TelnetCodec, WhatTheClientSendsDoublesEvery0xFF) {
    struct Case {
        std::string plain;
        std::string wire;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"AT\r", "AT\r"},
        {B({255}), B({255, 255})},
        {B({1, 255, 255, 2}), B({1, 255, 255, 255, 255, 2})},
    };
    for (const Case& c : cases) {
        std::string out;
        TTelnetCodec::EscapeData(c.plain.data(), c.plain.size(), out);
        EXPECT_EQ(out, c.wire);
    }
    // A baud rate whose bytes contain 0xFF (65535 = 00 00 FF FF) is escaped inside the sub-negotiation.
    EXPECT_EQ(TTelnetCodec::SubNegotiation(OptComPort, B({1, 0, 0, 255, 255})),
              B({255, 250, 44, 1, 0, 0, 255, 255, 255, 255, 255, 240}));
}

TEST(NetworkPortName, AcceptsHostsAndPortsAndRefusesTheRest) {
    struct Case {
        const char* name;
        bool network;
        bool ok;
        bool comPort;
        const char* host;
        const char* port;
    };
    const std::vector<Case> cases = {
        {"rfc2217://127.0.0.1:2217", true, true, true, "127.0.0.1", "2217"},
        {"socket://device-server.lab:4001", true, true, false, "device-server.lab", "4001"},
        {"RFC2217://[::1]:7000", true, true, true, "::1", "7000"},
        {"rfc2217://[fe80::1%eth0]:7000", true, true, true, "fe80::1%eth0", "7000"},
        {"socket://h:065535", true, false, false, "", ""}, // six digits
        {"rfc2217://host:0", true, false, true, "", ""},
        {"rfc2217://host:65536", true, false, true, "", ""},
        {"rfc2217://host", true, false, true, "", ""},
        {"rfc2217://:2217", true, false, true, "", ""},
        {"rfc2217://::1:2217", true, false, true, "", ""},
        {"rfc2217://[127.0.0.1]:2217", true, false, true, "", ""},
        {"rfc2217://[::1]2217", true, false, true, "", ""},
        {"rfc2217://host:2217/extra", true, false, true, "", ""},
        {"rfc2217://ho st:2217", true, false, true, "", ""},
        {"rfc2217://host:+22", true, false, true, "", ""},
        {"ttyUSB0", false, false, false, "", ""},
        {"/dev/pts/3", false, false, false, "", ""},
        {"telnet://host:23", false, false, false, "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsNetworkPortName(c.name), c.network) << c.name;
        TNetworkPortName parsed;
        ASSERT_EQ(ParseNetworkPortName(c.name, parsed), c.ok) << c.name;
        if (!c.ok)
            continue;
        EXPECT_EQ(parsed.comPortOption, c.comPort) << c.name;
        EXPECT_EQ(parsed.host, c.host) << c.name;
        EXPECT_EQ(parsed.port, c.port) << c.name;
    }
}

} // namespace
