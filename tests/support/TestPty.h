// A pseudo-terminal pair for tests: the slave is the port under test, the master plays the device. The
// helper keeps its own raw slave descriptor open so the master stays usable while the port is closed.
#pragma once

#include <string>

class TestPty {
public:
    TestPty();
    ~TestPty();
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool Ok() const { return FMaster >= 0; }
    const std::string& SlavePath() const { return FSlavePath; }
    int Master() const { return FMaster; }
    int Slave() const { return FSlave; }

    // Writes every byte to the device side, waiting (bounded) while the pty is full.
    bool Send(const std::string& bytes, int timeoutMs = 10000);
    // Reads from the device side until `want` bytes arrived or the time ran out.
    std::string Receive(std::size_t want, int timeoutMs = 10000);
    // Unplug: the port sees a hang-up.
    void CloseMaster();

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
};
