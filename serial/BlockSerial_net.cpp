// The serial line's network ports: the backend goes in front of the line's system calls the first time
// one is opened, and forwards every call that is not about its socket.
#include "BlockSerial.h"
#include "TelnetComPort.h"

#include <algorithm>

namespace {
// A device server on a slow link may need a moment for the negotiation; a stop ends the wait at once.
constexpr int MinAnswerTimeoutMs = 3000;
} // namespace

void TBlockSerial::UseNetworkBackend() {
    if (!FNetwork) {
        auto net = std::make_unique<TTelnetComPort>(FSys);
        std::lock_guard lock(FLock);
        FSys = net.get();
        FNetwork = std::move(net);
    }
    auto* net = static_cast<TTelnetComPort*>(FNetwork.get());
    net->SetWakeUp(FWakeFd, [this](short revents) {
        if (!FOpenEnds)
            return WakeUpEndsWait(revents);
        // The wake-up is taken either way; what it announced stays with the owner.
        WakeUpEndsWait(revents);
        FWokenUp = FOpenEnds();
        return FWokenUp;
    });
    net->SetAnswerTimeout(std::max(FDeadlockTimeout.load(), MinAnswerTimeoutMs));
}
