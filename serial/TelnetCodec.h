// The byte level of a Telnet connection to a serial device server: what the server sends split into the
// device's data bytes and the option talk around them, and the client's own commands. A command or
// sub-negotiation cut by a read is kept for the next piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace telnet {
inline constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
inline constexpr unsigned char OptBinary = 0, OptEcho = 1, OptSga = 3, OptComPort = 44;
} // namespace telnet

class TTelnetCodec {
public:
    class Events {
    public:
        virtual ~Events() = default;
        // verb: DO, DONT, WILL or WONT.
        virtual void Option(unsigned char verb, unsigned char option) = 0;
        // The payload after the option byte, with doubled IACs already made single.
        virtual void SubNegotiation(unsigned char option, std::string_view payload) = 0;
    };

    // Longer sub-negotiations are dropped whole: no server of ours sends one, and a hostile one must not
    // grow memory.
    static constexpr std::size_t MaxSubNegotiation = 256;

    // Appends the data bytes among raw to out and reports the rest.
    void Decode(const char* raw, std::size_t n, std::string& out, Events& events);
    void Reset() {
        FState = Data;
        FSub.clear();
    }

    // Data as it travels: every 0xFF doubled.
    static void EscapeData(const char* data, std::size_t n, std::string& out);
    static std::string Command(unsigned char verb, unsigned char option);
    static std::string SubNegotiation(unsigned char option, std::string_view payload);

private:
    enum State { Data, Iac, Verb, Sub, SubIac };
    State FState = Data;
    unsigned char FVerb = 0;
    std::string FSub;
    bool FSubTooLong = false;
};
