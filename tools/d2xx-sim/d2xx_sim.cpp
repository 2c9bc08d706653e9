// libpravex-d2xx-sim.so: a D2XX driver library that simulates FTDI adapters described in a text file
// ($PRAVEX_D2XX_SIM_CONFIG). It journals every call with a monotonic time stamp, and plugs or unplugs
// adapters when the file changes, announcing each change to the registered handler.
#include "ftd2xx_api.h"
#include "sim_config.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using pravexsim::AdapterConfig;
using pravexsim::SimConfig;

struct Adapter {
    AdapterConfig config;
    std::vector<std::uint8_t> userArea; // ua_size bytes, changed by writes
    std::uint8_t mode = 0;
    std::uint8_t mask = 0;
    std::uint8_t outputs = 0; // data pins last written in bit-bang mode
    std::uint8_t latency = 16;
    int openHandle = 0;
    std::map<std::string, pravexsim::Failure> failures;
};

struct Handle {
    std::string serial;
    bool alive = true; // false once its adapter has been unplugged
};

struct Change {
    int arrived;
    std::string port;
};

class Simulator {
public:
    std::mutex mutex; // guards everything below except the callback pair
    std::vector<Adapter> adapters;
    std::map<std::string, pravexsim::Failure> globalFailures;
    std::map<int, Handle> handles;
    int nextHandle = 1;
    std::string configPath;
    std::string journalPath;
    std::string journal;
    bool loaded = false;

    std::mutex callbackMutex; // held while the handler runs, so unregistering waits for it
    PravexD2xx_ChangeHandler handler = nullptr;
    void* handlerContext = nullptr;

    std::mutex watcherMutex; // serialises starting and stopping the watch thread
    std::thread watcher;
    int stopFd = -1;

    ~Simulator() {
        std::lock_guard lock(watcherMutex);
        stopWatching();
    }

    void log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        char line[1024];
        int n = std::snprintf(line, sizeof line, "%lld.%06ld ", static_cast<long long>(now.tv_sec),
                              now.tv_nsec / 1000);
        va_list args;
        va_start(args, format);
        n += std::vsnprintf(line + n, sizeof line - std::size_t(n) - 1, format, args);
        va_end(args);
        n = std::min(n, int(sizeof line) - 2);
        line[n++] = '\n';
        line[n] = 0;
        journal.append(line, std::size_t(n));
        // A runaway caller must not eat the memory: keep the newest part.
        if (journal.size() > 8u << 20)
            journal.erase(0, journal.size() - (4u << 20));
        if (!journalPath.empty()) {
            const int fd = ::open(journalPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ssize_t ignored = ::write(fd, line, std::size_t(n));
                (void)ignored;
                ::close(fd);
            }
        }
    }

    Adapter* adapterBySerial(const std::string& serial) {
        for (Adapter& a : adapters)
            if (a.config.serial == serial)
                return &a;
        return nullptr;
    }

    // Global failures first, then the adapter's own. A counted failure is used up.
    FT_STATUS failure(const char* name, Adapter* adapter) {
        for (auto* table : {&globalFailures, adapter ? &adapter->failures : nullptr}) {
            if (!table)
                continue;
            auto it = table->find(name);
            if (it == table->end())
                continue;
            const FT_STATUS status = it->second.status;
            if (it->second.remaining > 0 && --it->second.remaining == 0)
                table->erase(it);
            return status;
        }
        return FT_OK;
    }

    // Loads the file (first time) or applies its changes (later); returns the plug changes.
    std::vector<Change> reloadLocked() {
        std::vector<Change> changes;
        const char* env = std::getenv("PRAVEX_D2XX_SIM_CONFIG");
        configPath = env ? env : "";
        SimConfig config;
        std::string error;
        if (!configPath.empty() && !pravexsim::LoadConfig(configPath, config, error)) {
            log("sim.config-error %s", error.c_str());
            // A half-written or broken file must not unplug everything: keep the adapters as they are. A
            // file that is gone is a machine with no adapters.
            if (loaded && access(configPath.c_str(), F_OK) == 0)
                return changes;
            config = SimConfig{};
        }
        const char* journalEnv = std::getenv("PRAVEX_D2XX_SIM_JOURNAL");
        journalPath = journalEnv && *journalEnv ? journalEnv : config.journal;
        globalFailures.clear();
        for (const auto& f : config.failures)
            globalFailures[f.name] = f;

        std::vector<Adapter> next;
        for (const AdapterConfig& c : config.adapters) {
            Adapter a;
            Adapter* old = adapterBySerial(c.serial);
            if (old && old->config.block == c.block) {
                a = *old; // unchanged: keeps what the program wrote to it and its open state
            } else {
                a.config = c;
                a.userArea = c.userArea;
                a.userArea.resize(c.userAreaSize, 0);
                for (const auto& f : c.failures)
                    a.failures[f.name] = f;
                if (old)
                    a.openHandle = old->openHandle;
            }
            next.push_back(a);
        }
        if (loaded) {
            for (const Adapter& a : adapters) {
                const auto it = std::find_if(next.begin(), next.end(), [&](const Adapter& b) {
                    return b.config.serial == a.config.serial;
                });
                if (it == next.end() || it->config.tty != a.config.tty) {
                    changes.push_back({0, a.config.tty});
                    log("sim.unplug serial=\"%s\" tty=%s", a.config.serial.c_str(), a.config.tty.c_str());
                    if (a.openHandle) {
                        auto h = handles.find(a.openHandle);
                        if (h != handles.end())
                            h->second.alive = false;
                    }
                    if (it != next.end())
                        it->openHandle = 0;
                }
            }
            for (const Adapter& b : next) {
                const auto it = std::find_if(adapters.begin(), adapters.end(), [&](const Adapter& a) {
                    return a.config.serial == b.config.serial;
                });
                if (it == adapters.end() || it->config.tty != b.config.tty) {
                    changes.push_back({1, b.config.tty});
                    log("sim.plug serial=\"%s\" tty=%s", b.config.serial.c_str(), b.config.tty.c_str());
                }
            }
        }
        adapters = std::move(next);
        loaded = true;
        return changes;
    }

    void announce(const std::vector<Change>& changes) {
        std::lock_guard lock(callbackMutex);
        if (!handler)
            return;
        for (const Change& c : changes)
            handler(handlerContext, c.arrived, c.port.c_str());
    }

    void reload() {
        std::vector<Change> changes;
        {
            std::lock_guard lock(mutex);
            changes = reloadLocked();
        }
        announce(changes);
    }

    void ensureLoaded() {
        if (!loaded)
            reloadLocked();
    }

    // Watches the config file's folder (editors and tests replace files by rename) and reloads on change.
    void startWatching() {
        std::string path;
        {
            std::lock_guard lock(mutex);
            path = configPath;
        }
        if (watcher.joinable() || path.empty())
            return;
        const std::string::size_type slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (in < 0)
            return;
        if (inotify_add_watch(in, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) <
            0) {
            ::close(in);
            return;
        }
        stopFd = eventfd(0, EFD_CLOEXEC);
        if (stopFd < 0) {
            ::close(in);
            return;
        }
        watcher = std::thread([this, in, name] {
            alignas(inotify_event) char buffer[4096];
            for (;;) {
                pollfd fds[2] = {{in, POLLIN, 0}, {stopFd, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0) {
                    if (errno == EINTR)
                        continue;
                    break;
                }
                if (fds[1].revents)
                    break;
                bool ours = false;
                for (;;) {
                    const ssize_t n = ::read(in, buffer, sizeof buffer);
                    if (n <= 0)
                        break;
                    for (char* p = buffer; p < buffer + n;) {
                        auto* event = reinterpret_cast<inotify_event*>(p);
                        if (event->len && name == event->name)
                            ours = true;
                        p += sizeof(inotify_event) + event->len;
                    }
                }
                if (ours)
                    reload();
            }
            ::close(in);
        });
    }

    void stopWatching() {
        if (watcher.joinable()) {
            const std::uint64_t one = 1;
            ssize_t ignored = ::write(stopFd, &one, sizeof one);
            (void)ignored;
            watcher.join();
        }
        if (stopFd >= 0)
            ::close(stopFd);
        stopFd = -1;
    }
};

Simulator& sim() {
    static Simulator instance;
    return instance;
}

// Resolves a handle to its adapter; the status says why there is none.
FT_STATUS lookup(Simulator& s, FT_HANDLE handle, Adapter*& adapter) {
    adapter = nullptr;
    const auto id = int(reinterpret_cast<std::intptr_t>(handle));
    auto it = s.handles.find(id);
    if (it == s.handles.end())
        return FT_INVALID_HANDLE;
    if (!it->second.alive)
        return FT_IO_ERROR;
    adapter = s.adapterBySerial(it->second.serial);
    return adapter ? FT_OK : FT_IO_ERROR;
}

int handleId(FT_HANDLE handle) {
    return int(reinterpret_cast<std::intptr_t>(handle));
}

std::string hex(const std::uint8_t* data, std::size_t n) {
    std::string out;
    char byte[4];
    for (std::size_t i = 0; i < n && i < 64; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        out += byte;
    }
    if (n > 64)
        out += "...";
    return out.empty() ? "-" : out;
}

// Pin levels as the chip reports them for the current mode.
std::uint8_t pinLevels(const Adapter& a) {
    if (a.mode == FT_BITMODE_CBUS_BITBANG) {
        const std::uint8_t outputs = std::uint8_t(a.mask >> 4);
        return std::uint8_t(((a.mask & outputs) | (a.config.cbus & ~outputs)) & 0x0F);
    }
    if (a.mode == FT_BITMODE_ASYNC_BITBANG)
        return std::uint8_t((a.outputs & a.mask) | (a.config.pins & ~a.mask));
    return a.config.pins;
}

} // namespace

SIM_EXPORT FT_STATUS FT_CreateDeviceInfoList(FT_DWORD* count) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    s.ensureLoaded();
    FT_STATUS status = s.failure("FT_CreateDeviceInfoList", nullptr);
    if (!count)
        status = FT_INVALID_PARAMETER;
    else if (status == FT_OK)
        *count = FT_DWORD(s.adapters.size());
    s.log("FT_CreateDeviceInfoList count=%u status=%u", count && status == FT_OK ? *count : 0u, status);
    return status;
}

SIM_EXPORT FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, FT_DWORD* count) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    s.ensureLoaded();
    FT_STATUS status = s.failure("FT_GetDeviceInfoList", nullptr);
    FT_DWORD n = 0;
    if (!count || (!list && *count > 0)) {
        status = FT_INVALID_PARAMETER;
    } else if (status == FT_OK) {
        n = std::min<FT_DWORD>(*count, FT_DWORD(s.adapters.size()));
        for (FT_DWORD i = 0; i < n; ++i) {
            const Adapter& a = s.adapters[i];
            FT_DEVICE_LIST_INFO_NODE& node = list[i];
            std::memset(&node, 0, sizeof node);
            node.Flags = a.config.flags | (a.openHandle ? std::uint32_t(FT_FLAGS_OPENED) : 0u);
            node.Type = a.config.type;
            node.ID = a.config.id;
            node.LocId = a.config.location;
            std::strncpy(node.SerialNumber, a.config.serial.c_str(), sizeof node.SerialNumber - 1);
            std::strncpy(node.Description, a.config.description.c_str(), sizeof node.Description - 1);
            node.ftHandle = a.openHandle ? reinterpret_cast<FT_HANDLE>(std::intptr_t(a.openHandle)) : nullptr;
        }
        *count = n;
    }
    s.log("FT_GetDeviceInfoList count=%u status=%u", n, status);
    return status;
}

SIM_EXPORT FT_STATUS FT_OpenEx(void* arg, FT_DWORD flags, FT_HANDLE* handle) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    s.ensureLoaded();
    const std::string key = arg ? static_cast<const char*>(arg) : "";
    FT_STATUS status = FT_OK;
    Adapter* adapter = nullptr;
    if (!handle || !arg) {
        status = FT_INVALID_PARAMETER;
    } else {
        // A failed open leaves the caller's handle variable as it was, as the driver does.
        for (Adapter& a : s.adapters) {
            const std::string& field =
                (flags & FT_OPEN_BY_DESCRIPTION) ? a.config.description : a.config.serial;
            if (!key.empty() && field == key) {
                adapter = &a;
                break;
            }
        }
        status = s.failure("FT_OpenEx", adapter);
        if (status == FT_OK && !adapter)
            status = FT_DEVICE_NOT_FOUND;
        else if (status == FT_OK && adapter->openHandle)
            status = FT_DEVICE_NOT_OPENED; // one owner at a time, as the driver enforces
        if (status == FT_OK) {
            const int id = s.nextHandle++;
            s.handles[id] = Handle{adapter->config.serial, true};
            adapter->openHandle = id;
            *handle = reinterpret_cast<FT_HANDLE>(std::intptr_t(id));
        }
    }
    s.log("FT_OpenEx serial=\"%s\" flags=%u handle=%d status=%u", key.c_str(), flags,
          status == FT_OK ? handleId(*handle) : 0, status);
    return status;
}

SIM_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    const int id = handleId(handle);
    FT_STATUS status = FT_INVALID_HANDLE;
    auto it = s.handles.find(id);
    if (it != s.handles.end()) {
        Adapter* a = s.adapterBySerial(it->second.serial);
        status = s.failure("FT_Close", a);
        if (a && a->openHandle == id) {
            a->openHandle = 0;
            // Closing drops the driver's bit mode, as a real close does.
            a->mode = 0;
            a->mask = 0;
        }
        s.handles.erase(it);
    }
    s.log("FT_Close handle=%d status=%u", id, status);
    return status;
}

SIM_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, FT_DWORD count, FT_DWORD* written) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (written)
        *written = 0;
    if (status == FT_OK && (!buffer && count))
        status = FT_INVALID_PARAMETER;
    if (status == FT_OK)
        status = s.failure("FT_Write", a);
    FT_DWORD done = 0;
    if (status == FT_OK) {
        done = count;
        if (count > 0 && a->mode == FT_BITMODE_ASYNC_BITBANG)
            a->outputs = static_cast<const std::uint8_t*>(buffer)[count - 1];
        if (written)
            *written = done;
    }
    s.log("FT_Write handle=%d count=%u data=%s written=%u status=%u", handleId(handle), count,
          buffer ? hex(static_cast<const std::uint8_t*>(buffer), count).c_str() : "-", done, status);
    return status;
}

namespace {
FT_STATUS simpleCall(const char* name, FT_HANDLE handle) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK)
        status = s.failure(name, a);
    if (status == FT_OK && std::strcmp(name, "FT_ResetDevice") == 0) {
        a->mode = 0;
        a->mask = 0;
    }
    s.log("%s handle=%d status=%u", name, handleId(handle), status);
    return status;
}
} // namespace

SIM_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE handle) {
    return simpleCall("FT_ResetDevice", handle);
}
// The "plain" build stands for FTDI's Linux library: no port reset, no port queries, no announcements.
#ifndef PRAVEX_SIM_PLAIN
SIM_EXPORT FT_STATUS FT_ResetPort(FT_HANDLE handle) {
    return simpleCall("FT_ResetPort", handle);
}
#endif

SIM_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, FT_DWORD* rx) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK && !rx)
        status = FT_INVALID_PARAMETER;
    if (status == FT_OK)
        status = s.failure("FT_GetQueueStatus", a);
    if (status == FT_OK)
        *rx = a->config.rxQueue;
    s.log("FT_GetQueueStatus handle=%d rx=%u status=%u", handleId(handle), status == FT_OK ? *rx : 0u,
          status);
    return status;
}

SIM_EXPORT FT_STATUS FT_EE_UASize(FT_HANDLE handle, FT_DWORD* size) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK && !size)
        status = FT_INVALID_PARAMETER;
    if (status == FT_OK)
        status = s.failure("FT_EE_UASize", a);
    if (status == FT_OK)
        *size = FT_DWORD(a->userArea.size());
    s.log("FT_EE_UASize handle=%d size=%u status=%u", handleId(handle), status == FT_OK ? *size : 0u, status);
    return status;
}

SIM_EXPORT FT_STATUS FT_EE_UARead(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length, FT_DWORD* read) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK && (!read || (!data && length)))
        status = FT_INVALID_PARAMETER;
    if (status == FT_OK)
        status = s.failure("FT_EE_UARead", a);
    FT_DWORD n = 0;
    if (status == FT_OK) {
        n = std::min<FT_DWORD>(length, FT_DWORD(a->userArea.size()));
        if (a->config.uaReadCount >= 0)
            n = std::min<FT_DWORD>(n, FT_DWORD(a->config.uaReadCount));
        std::memcpy(data, a->userArea.data(), n);
    }
    if (read)
        *read = n;
    s.log("FT_EE_UARead handle=%d length=%u read=%u data=%s status=%u", handleId(handle), length, n,
          status == FT_OK ? hex(data, n).c_str() : "-", status);
    return status;
}

SIM_EXPORT FT_STATUS FT_EE_UAWrite(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK && (!data && length))
        status = FT_INVALID_PARAMETER;
    if (status == FT_OK)
        status = s.failure("FT_EE_UAWrite", a);
    if (status == FT_OK && length > a->userArea.size())
        status = FT_INVALID_PARAMETER;
    if (status == FT_OK && length > 0)
        std::memcpy(a->userArea.data(), data, length);
    s.log("FT_EE_UAWrite handle=%d length=%u data=%s status=%u", handleId(handle), length,
          data ? hex(data, length).c_str() : "-", status);
    return status;
}

SIM_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, FT_UCHAR ms) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK)
        status = s.failure("FT_SetLatencyTimer", a);
    if (status == FT_OK && ms < 2)
        status = FT_INVALID_PARAMETER;
    if (status == FT_OK)
        a->latency = ms;
    s.log("FT_SetLatencyTimer handle=%d ms=%u status=%u", handleId(handle), unsigned(ms), status);
    return status;
}

SIM_EXPORT FT_STATUS FT_GetBitMode(FT_HANDLE handle, FT_UCHAR* pins) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK && !pins)
        status = FT_INVALID_PARAMETER;
    if (status == FT_OK)
        status = s.failure("FT_GetBitMode", a);
    if (status == FT_OK)
        *pins = pinLevels(*a);
    s.log("FT_GetBitMode handle=%d value=0x%02x status=%u", handleId(handle), status == FT_OK ? *pins : 0u,
          status);
    return status;
}

SIM_EXPORT FT_STATUS FT_SetBitMode(FT_HANDLE handle, FT_UCHAR mask, FT_UCHAR mode) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK)
        status = s.failure("FT_SetBitMode", a);
    if (status == FT_OK) {
        a->mask = mask;
        a->mode = mode;
    }
    s.log("FT_SetBitMode handle=%d mask=0x%02x mode=0x%02x status=%u", handleId(handle), unsigned(mask),
          unsigned(mode), status);
    return status;
}

#ifndef PRAVEX_SIM_PLAIN
SIM_EXPORT FT_STATUS FT_GetComPortNumber(FT_HANDLE handle, FT_LONG* number) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK && !number)
        status = FT_INVALID_PARAMETER;
    if (status == FT_OK)
        status = s.failure("FT_GetComPortNumber", a);
    FT_LONG value = -1;
    if (status == FT_OK) {
        if (a->config.hasComNumber) {
            value = a->config.comNumber;
        } else {
            const std::string& tty = a->config.tty;
            std::size_t digits = tty.size();
            while (digits > 0 && tty[digits - 1] >= '0' && tty[digits - 1] <= '9')
                --digits;
            if (digits == tty.size())
                status = FT_OTHER_ERROR;
            else
                value = FT_LONG(std::strtol(tty.c_str() + digits, nullptr, 10));
        }
    }
    if (number)
        *number = value;
    s.log("FT_GetComPortNumber handle=%d number=%d status=%u", handleId(handle), int(value), status);
    return status;
}

SIM_EXPORT FT_STATUS PravexD2xx_GetPortName(FT_HANDLE handle, char* name, FT_DWORD size) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    Adapter* a = nullptr;
    FT_STATUS status = lookup(s, handle, a);
    if (status == FT_OK && (!name || size == 0))
        status = FT_INVALID_PARAMETER;
    // Configured failures of the numeric query apply here too: both are "the COM port query".
    if (status == FT_OK)
        status = s.failure("FT_GetComPortNumber", a);
    if (status == FT_OK && a->config.tty.empty())
        status = FT_OTHER_ERROR;
    if (name && size)
        name[0] = 0;
    if (status == FT_OK) {
        const std::size_t n = std::min<std::size_t>(a->config.tty.size(), size - 1);
        std::memcpy(name, a->config.tty.data(), n);
        name[n] = 0;
    }
    s.log("PravexD2xx_GetPortName handle=%d name=%s status=%u", handleId(handle),
          status == FT_OK ? name : "-", status);
    return status;
}

SIM_EXPORT void PravexSim_SetChangeCallback(PravexD2xx_ChangeHandler handler, void* context) {
    Simulator& s = sim();
    {
        std::lock_guard lock(s.mutex);
        s.ensureLoaded();
        s.log("PravexSim_SetChangeCallback set=%d", handler ? 1 : 0);
    }
    {
        std::lock_guard lock(s.callbackMutex);
        s.handler = handler;
        s.handlerContext = context;
    }
    // The watch follows the file named now; nothing watches while nobody listens.
    std::lock_guard lock(s.watcherMutex);
    s.stopWatching();
    if (handler)
        s.startWatching();
}

#endif

// Test hooks: reads the config file again now (announcing plug changes) and returns the adapter count.
SIM_EXPORT int PravexSim_Reload() {
    Simulator& s = sim();
    s.reload();
    std::lock_guard lock(s.mutex);
    return int(s.adapters.size());
}

// Copies the journal (NUL-terminated, cut to size - 1) and returns its full length.
SIM_EXPORT FT_DWORD PravexSim_Journal(char* buffer, FT_DWORD size) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    if (buffer && size) {
        const std::size_t n = std::min<std::size_t>(s.journal.size(), size - 1);
        std::memcpy(buffer, s.journal.data(), n);
        buffer[n] = 0;
    }
    return FT_DWORD(s.journal.size());
}

SIM_EXPORT void PravexSim_ClearJournal() {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    s.journal.clear();
}

// The bytes an adapter's user area holds now (for tests that check what a write left behind).
SIM_EXPORT int PravexSim_UserArea(const char* serial, FT_UCHAR* buffer, FT_DWORD size) {
    Simulator& s = sim();
    std::lock_guard lock(s.mutex);
    s.ensureLoaded();
    Adapter* a = s.adapterBySerial(serial ? serial : "");
    if (!a)
        return -1;
    const std::size_t n = std::min<std::size_t>(a->userArea.size(), size);
    if (buffer)
        std::memcpy(buffer, a->userArea.data(), n);
    return int(a->userArea.size());
}
