// The simulator library through its C interface, loaded as a program would load it: the adapter file,
// one owner per adapter, pins in the bit modes, configured failures, the journal, and plug and unplug by
// changing the file, announced from the simulator's own thread.
// labels: sim threaded
#include "../../ftdi/ftd2xx_api.h"
#include "SimD2xx.h"

#include <QFile>
#include <atomic>
#include <condition_variable>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Sim {
    void* lib = nullptr;
    FT_CreateDeviceInfoList_fn create = nullptr;
    FT_GetDeviceInfoList_fn list = nullptr;
    FT_OpenEx_fn open = nullptr;
    FT_Close_fn close = nullptr;
    FT_Write_fn write = nullptr;
    FT_GetBitMode_fn getBits = nullptr;
    FT_SetBitMode_fn setBits = nullptr;
    FT_EE_UASize_fn uaSize = nullptr;
    FT_EE_UARead_fn uaRead = nullptr;
    FT_EE_UAWrite_fn uaWrite = nullptr;
    FT_GetComPortNumber_fn comNumber = nullptr;
    PravexD2xx_GetPortName_fn portName = nullptr;
    PravexSim_SetChangeCallback_fn setCallback = nullptr;
    int (*reload)() = nullptr;
    FT_DWORD (*journal)(char*, FT_DWORD) = nullptr;
    void (*clearJournal)() = nullptr;

    Sim() {
        const QByteArray path = qgetenv("PRAVEX_BIN_PRAVEX_D2XX_SIM");
        lib = dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return;
        auto get = [&](auto& slot, const char* name) {
            slot = reinterpret_cast<std::decay_t<decltype(slot)>>(dlsym(lib, name));
        };
        get(create, "FT_CreateDeviceInfoList");
        get(list, "FT_GetDeviceInfoList");
        get(open, "FT_OpenEx");
        get(close, "FT_Close");
        get(write, "FT_Write");
        get(getBits, "FT_GetBitMode");
        get(setBits, "FT_SetBitMode");
        get(uaSize, "FT_EE_UASize");
        get(uaRead, "FT_EE_UARead");
        get(uaWrite, "FT_EE_UAWrite");
        get(comNumber, "FT_GetComPortNumber");
        get(portName, "PravexD2xx_GetPortName");
        get(setCallback, "PravexSim_SetChangeCallback");
        get(reload, "PravexSim_Reload");
        get(journal, "PravexSim_Journal");
        get(clearJournal, "PravexSim_ClearJournal");
    }
    ~Sim() {
        if (lib)
            dlclose(lib);
    }
    std::string journalText() const {
        std::string text(journal(nullptr, 0) + 1, '\0');
        journal(text.data(), FT_DWORD(text.size()));
        text.resize(text.size() - 1);
        return text;
    }
    FT_HANDLE openSerial(const char* serial, FT_STATUS* status = nullptr) {
        FT_HANDLE h = nullptr;
        const FT_STATUS s = open(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h);
        if (status)
            *status = s;
        return h;
    }
};

void writeAtomically(const QString& path, const std::string& text) {
    simtest::WriteFileAtomically(path, QByteArray::fromStdString(text));
}

// Points the simulator at a fresh adapter file with this text.
QString configure(Sim& sim, const std::string& text) {
    const QString path = simtest::ScratchDir(QStringLiteral("sim")) + QStringLiteral("/adapters.conf");
    writeAtomically(path, text);
    qputenv("PRAVEX_D2XX_SIM_CONFIG", QFile::encodeName(path));
    sim.reload();
    sim.clearJournal();
    return path;
}

const std::string basic =
    "[adapter]\nserial = S1\ndescription = One\ntty = ttyUSB3\npins = 0xF0\ncbus = 0x0A\n"
    "[adapter]\nserial = S2\ntype = FT2232H\nlocation = 0x2231\ntty = pts/9\n"
    "fail = FT_SetBitMode 4 1\n";

} // namespace

class SimTest : public ::testing::Test {
protected:
    Sim sim;
    void SetUp() override { ASSERT_NE(sim.lib, nullptr) << dlerror(); }
};

TEST_F(SimTest, ListsTheConfiguredAdapters) {
    configure(sim, basic);
    FT_DWORD n = 0;
    ASSERT_EQ(sim.create(&n), FT_STATUS(FT_OK));
    ASSERT_EQ(n, 2u);
    FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
    ASSERT_EQ(sim.list(nodes, &n), FT_STATUS(FT_OK));
    EXPECT_STREQ(nodes[0].SerialNumber, "S1");
    EXPECT_STREQ(nodes[0].Description, "One");
    EXPECT_EQ(nodes[0].Type, 5u);
    EXPECT_EQ(nodes[1].Type, 6u);
    EXPECT_EQ(nodes[1].LocId, 0x2231u);
    // The caller's array bounds the list.
    n = 1;
    ASSERT_EQ(sim.list(nodes, &n), FT_STATUS(FT_OK));
    EXPECT_EQ(n, 1u);
}

TEST_F(SimTest, ABrokenFileChangesNothingAndSaysWhy) {
    // A file caught half-written must not unplug the adapters already there.
    const QString path = configure(sim, basic);
    writeAtomically(path, "[adapter]\nserial = S1\nbogus line\n");
    sim.reload();
    FT_DWORD n = 9;
    ASSERT_EQ(sim.create(&n), FT_STATUS(FT_OK));
    EXPECT_EQ(n, 2u);
    EXPECT_NE(sim.journalText().find("sim.config-error line 3"), std::string::npos);
    // A file that is gone is a machine without adapters.
    QFile::remove(path);
    sim.reload();
    ASSERT_EQ(sim.create(&n), FT_STATUS(FT_OK));
    EXPECT_EQ(n, 0u);
}

TEST_F(SimTest, OneOwnerAtATimeAndInvalidHandlesAreRefused) {
    configure(sim, basic);
    FT_STATUS status = 0;
    FT_HANDLE h = sim.openSerial("S1", &status);
    ASSERT_EQ(status, FT_STATUS(FT_OK));
    sim.openSerial("S1", &status);
    EXPECT_EQ(status, FT_STATUS(FT_DEVICE_NOT_OPENED));
    FT_DWORD n = 2;
    FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
    sim.list(nodes, &n);
    EXPECT_EQ(nodes[0].Flags & FT_FLAGS_OPENED, FT_DWORD(FT_FLAGS_OPENED));
    sim.openSerial("nope", &status);
    EXPECT_EQ(status, FT_STATUS(FT_DEVICE_NOT_FOUND));

    FT_UCHAR pins = 0;
    EXPECT_EQ(sim.getBits(reinterpret_cast<FT_HANDLE>(0x7fffffff), &pins), FT_STATUS(FT_INVALID_HANDLE));
    EXPECT_EQ(sim.close(h), FT_STATUS(FT_OK));
    EXPECT_EQ(sim.close(h), FT_STATUS(FT_INVALID_HANDLE));
    EXPECT_EQ(sim.getBits(h, &pins), FT_STATUS(FT_INVALID_HANDLE));
}

TEST_F(SimTest, PinsFollowTheBitMode) {
    configure(sim, basic);
    FT_HANDLE h = sim.openSerial("S1");
    ASSERT_NE(h, nullptr);
    FT_UCHAR pins = 0;
    ASSERT_EQ(sim.getBits(h, &pins), FT_STATUS(FT_OK));
    EXPECT_EQ(pins, 0xF0); // no bit mode: the configured levels

    // Asynchronous bit-bang: outputs show what was written, inputs keep their levels.
    ASSERT_EQ(sim.setBits(h, 0x04, FT_BITMODE_ASYNC_BITBANG), FT_STATUS(FT_OK));
    FT_UCHAR byte = 0x04;
    FT_DWORD written = 0;
    ASSERT_EQ(sim.write(h, &byte, 1, &written), FT_STATUS(FT_OK));
    EXPECT_EQ(written, 1u);
    sim.getBits(h, &pins);
    EXPECT_EQ(pins, 0xF4);
    byte = 0x00;
    sim.write(h, &byte, 1, &written);
    sim.getBits(h, &pins);
    EXPECT_EQ(pins, 0xF0);

    // CBUS bit-bang: high nibble of the mask is the direction, low nibble the levels.
    ASSERT_EQ(sim.setBits(h, 0x11, FT_BITMODE_CBUS_BITBANG), FT_STATUS(FT_OK));
    sim.getBits(h, &pins);
    EXPECT_EQ(pins, 0x0B); // CBUS0 driven high, CBUS1..3 read 0b101 from the configured 0x0A
    ASSERT_EQ(sim.setBits(h, 0xF0, FT_BITMODE_CBUS_BITBANG), FT_STATUS(FT_OK));
    sim.getBits(h, &pins);
    EXPECT_EQ(pins, 0x00);
    sim.close(h);
}

TEST_F(SimTest, ConfiguredFailuresAndTheirCount) {
    configure(sim, basic);
    FT_HANDLE h = sim.openSerial("S2");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(sim.setBits(h, 0xFF, 1), FT_STATUS(FT_IO_ERROR));
    EXPECT_EQ(sim.setBits(h, 0xFF, 1), FT_STATUS(FT_OK)); // "fail = FT_SetBitMode 4 1": once only
    char name[16];
    EXPECT_EQ(sim.portName(h, name, sizeof name), FT_STATUS(FT_OK));
    EXPECT_STREQ(name, "pts/9");
    FT_LONG number = 0;
    EXPECT_EQ(sim.comNumber(h, &number), FT_STATUS(FT_OK));
    EXPECT_EQ(number, 9);
    sim.close(h);

    // An adapter without tty, and a COM port number forced to -1.
    configure(sim, "[adapter]\nserial = N\n[adapter]\nserial = M\ntty = ttyUSB0\ncom_number = -1\n");
    h = sim.openSerial("N");
    EXPECT_EQ(sim.portName(h, name, sizeof name), FT_STATUS(FT_OTHER_ERROR));
    EXPECT_EQ(sim.comNumber(h, &number), FT_STATUS(FT_OTHER_ERROR));
    sim.close(h);
    h = sim.openSerial("M");
    EXPECT_EQ(sim.comNumber(h, &number), FT_STATUS(FT_OK));
    EXPECT_EQ(number, -1);
    sim.close(h);
}

TEST_F(SimTest, UserAreaWritesStayAcrossAnUnchangedReload) {
    const std::string text = "[adapter]\nserial = U\ntty = ttyUSB0\nua_size = 8\nua_text = AB\n";
    const QString path = configure(sim, text);
    FT_HANDLE h = sim.openSerial("U");
    FT_DWORD size = 0;
    ASSERT_EQ(sim.uaSize(h, &size), FT_STATUS(FT_OK));
    EXPECT_EQ(size, 8u);
    FT_UCHAR data[9] = "XYZ";
    EXPECT_EQ(sim.uaWrite(h, data, 9), FT_STATUS(FT_INVALID_PARAMETER)); // past the user area
    ASSERT_EQ(sim.uaWrite(h, data, 4), FT_STATUS(FT_OK));
    sim.close(h);
    writeAtomically(path, text);
    sim.reload();
    h = sim.openSerial("U");
    FT_UCHAR back[64] = {};
    FT_DWORD read = 0;
    ASSERT_EQ(sim.uaRead(h, back, 64, &read), FT_STATUS(FT_OK));
    EXPECT_EQ(read, 8u);
    EXPECT_STREQ(reinterpret_cast<char*>(back), "XYZ");
    sim.close(h);
}

TEST_F(SimTest, JournalHasMonotonicStampsAndGoesToTheFile) {
    const QString dir = simtest::ScratchDir(QStringLiteral("sim"));
    const QString journalPath = dir + QStringLiteral("/journal.txt");
    configure(sim, "journal = " + journalPath.toStdString() + "\n" + basic);
    FT_HANDLE h = sim.openSerial("S1");
    FT_UCHAR bytes[2] = {0x04, 0x00};
    FT_DWORD written = 0;
    sim.write(h, bytes, 2, &written);
    sim.close(h);
    const std::string text = sim.journalText();
    EXPECT_NE(text.find("FT_OpenEx serial=\"S1\" flags=1"), std::string::npos);
    EXPECT_NE(text.find("FT_Write handle="), std::string::npos);
    EXPECT_NE(text.find("count=2 data=0400 written=2 status=0"), std::string::npos);
    double last = 0;
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = text.find('\n', pos);
        const double t = std::stod(text.substr(pos, text.find(' ', pos) - pos));
        EXPECT_GE(t, last);
        last = t;
        ++lines;
        pos = end + 1;
    }
    EXPECT_EQ(lines, 3u);
    QFile file(journalPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray onDisk = file.readAll();
    EXPECT_TRUE(onDisk.contains("FT_Close handle="));
}

namespace {
struct Announcements {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int, std::string>> seen;
    static void handler(void* context, int arrived, const char* port) {
        auto* self = static_cast<Announcements*>(context);
        {
            std::lock_guard lock(self->mutex);
            self->seen.emplace_back(arrived, port ? port : "");
        }
        self->changed.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return seen.size() >= count; });
    }
};
} // namespace

TEST_F(SimTest, PlugAndUnplugByChangingTheFile) {
    const QString path = configure(sim, basic);
    Announcements a;
    sim.setCallback(&Announcements::handler, &a);
    FT_HANDLE h = sim.openSerial("S1");
    ASSERT_NE(h, nullptr);

    // Plug a third adapter.
    writeAtomically(path, basic + "[adapter]\nserial = S3\ntty = ttyUSB7\n");
    ASSERT_TRUE(a.waitFor(1));
    {
        std::lock_guard lock(a.mutex);
        EXPECT_EQ(a.seen[0], std::make_pair(1, std::string("ttyUSB7")));
    }
    FT_DWORD n = 0;
    sim.create(&n);
    EXPECT_EQ(n, 3u);

    // A broken file unplugs nothing.
    writeAtomically(path, "[adapter\n");
    sim.reload();

    // Unplug the opened one: its handle now fails, and closing it still works.
    writeAtomically(
        path, "[adapter]\nserial = S2\ntype = FT2232H\ntty = pts/9\n[adapter]\nserial = S3\ntty = ttyUSB7\n");
    ASSERT_TRUE(a.waitFor(2));
    {
        std::lock_guard lock(a.mutex);
        ASSERT_EQ(a.seen.size(), 2u);
        EXPECT_EQ(a.seen[1], std::make_pair(0, std::string("ttyUSB3")));
    }
    FT_UCHAR pins = 0;
    EXPECT_EQ(sim.getBits(h, &pins), FT_STATUS(FT_IO_ERROR));
    EXPECT_EQ(sim.close(h), FT_STATUS(FT_OK));

    // After the handler is taken away, changes are no longer announced.
    sim.setCallback(nullptr, nullptr);
    writeAtomically(path, basic);
    sim.reload();
    std::lock_guard lock(a.mutex);
    EXPECT_EQ(a.seen.size(), 2u);
}
