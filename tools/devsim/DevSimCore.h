// The reusable core of the PRAVEX device simulator: a pseudo-terminal pair whose slave is the port a client
// opens, the status lines of a battery that discharges and charges, and raw script lines with escapes.
#pragma once

#include <string>
#include <vector>

namespace devsim {

// A pty pair. The slave is kept open (raw, no echo) so the master stays usable before and between the
// client's opens; closing the master is what a vanished USB adapter looks like to the client.
class PtyPair {
public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Returns false with errorText set when no pair can be made.
    bool Open(std::string* errorText = nullptr);
    int Master() const { return FMaster; }
    int Slave() const { return FSlave; }
    const std::string& SlaveName() const { return FSlaveName; }
    void CloseMaster();
    void CloseSlave();
    // Bytes written to the master that the client has not read yet.
    int Unread() const;
    // Waits (bounded) until the client has read everything, so a close does not discard lines in flight.
    void WaitDrained(int timeoutMs) const;

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlaveName;
};

// A battery that discharges with the converter ON and, once near empty, charges with it OFF.
class BatteryCurve {
public:
    explicit BatteryCurve(double startSoc = 1.0, double lowThreshold = 3.40)
        : FSoc(startSoc), FLow(lowThreshold) {}
    double Voltage() const;
    bool ConverterOn() const { return !FCharging; }
    bool Low() const { return Voltage() < FLow; }
    void Step();

private:
    double FSoc;
    double FLow;
    bool FCharging = false;
};

// "PVEX: 3.92V ON" (or LBAT), without line end; comma: "3,92".
std::string FormatStatusLine(bool low, double voltage, bool on, bool comma);

// One script line to bytes: escapes \\ \r \n \t \0 \xHH, \*N,HH (byte HH repeated N times) and a final \c
// (send without line end). Returns false for a malformed escape.
bool DecodeScriptLine(const std::string& text, std::string& bytes, bool& terminated, std::string* errorText);

struct ScriptLine {
    std::string bytes;
    bool terminated = true;
};
bool LoadScript(const std::string& path, std::vector<ScriptLine>& lines, std::string* errorText);

} // namespace devsim
