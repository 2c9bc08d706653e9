#include "TelnetCodec.h"

#include <cstring>

using namespace telnet;

void TTelnetCodec::Decode(const char* raw, std::size_t n, std::string& out, Events& events) {
    std::size_t i = 0;
    while (i < n) {
        const auto c = static_cast<unsigned char>(raw[i]);
        switch (FState) {
        case Data: {
            // Runs of plain data are copied whole: in a flood nearly every byte is one.
            const void* at = std::memchr(raw + i, IAC, n - i);
            const std::size_t end = at ? std::size_t(static_cast<const char*>(at) - raw) : n;
            out.append(raw + i, end - i);
            i = end;
            if (at) {
                FState = Iac;
                ++i;
            }
            continue;
        }
        case Iac:
            if (c == IAC) {
                out.push_back(char(IAC));
                FState = Data;
            } else if (c == SB) {
                FSub.clear();
                FSubTooLong = false;
                FState = Sub;
            } else if (c >= WILL) {
                FVerb = c;
                FState = Verb;
            } else {
                FState = Data; // NOP, GA, a stray SE and the like carry nothing for a serial line
            }
            break;
        case Verb:
            events.Option(FVerb, c);
            FState = Data;
            break;
        case Sub:
            if (c == IAC) {
                FState = SubIac;
            } else if (FSub.size() < MaxSubNegotiation + 1) {
                FSub.push_back(char(c));
            } else {
                FSubTooLong = true;
            }
            break;
        case SubIac:
            if (c == IAC) {
                if (FSub.size() < MaxSubNegotiation + 1)
                    FSub.push_back(char(IAC));
                else
                    FSubTooLong = true;
                FState = Sub;
            } else {
                // SE ends it; any other command here is a broken server: end it as well, and take the
                // command as one, rather than the data that follows for part of it.
                if (!FSubTooLong && !FSub.empty())
                    events.SubNegotiation(static_cast<unsigned char>(FSub[0]),
                                          std::string_view(FSub).substr(1));
                FSub.clear();
                FState = Iac;
                if (c != SE)
                    continue;
                FState = Data;
            }
            break;
        }
        ++i;
    }
}

void TTelnetCodec::EscapeData(const char* data, std::size_t n, std::string& out) {
    std::size_t i = 0;
    while (i < n) {
        const void* at = std::memchr(data + i, IAC, n - i);
        const std::size_t end = at ? std::size_t(static_cast<const char*>(at) - data) + 1 : n;
        out.append(data + i, end - i);
        if (at)
            out.push_back(char(IAC));
        i = end;
    }
}

std::string TTelnetCodec::Command(unsigned char verb, unsigned char option) {
    return {char(IAC), char(verb), char(option)};
}

std::string TTelnetCodec::SubNegotiation(unsigned char option, std::string_view payload) {
    std::string out{char(IAC), char(SB), char(option)};
    EscapeData(payload.data(), payload.size(), out);
    out.push_back(char(IAC));
    out.push_back(char(SE));
    return out;
}
