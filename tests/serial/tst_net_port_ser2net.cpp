// The serial line through Debian's ser2net serving a pty: lines both ways with 0xFF bytes, a rate change
// that reaches the device's pty, and a server that goes away looking like an unplugged adapter.
// labels: sim
#include "BlockSerial.h"
#include "Ser2Net.h"
#include "TestPty.h"

#include <gtest/gtest.h>
#include <termios.h>

namespace {

TEST(NetworkPortSer2Net, CarriesTheDeviceLinesAndSettingsUntilTheServerGoes) {
    struct Case {
        const char* name;
        bool comPortOption;
    };
    const Case cases[] = {{"telnet(rfc2217)", true}, {"plain tcp", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPty device;
        ASSERT_TRUE(device.Ok());
        nettest::Ser2Net server(device.SlavePath(), c.comPortOption);
        ASSERT_TRUE(server.Ok()) << "ser2net did not start (scripts/install-deps.sh installs it)";

        TBlockSerial line;
        line.Connect(server.Url());
        ASSERT_EQ(line.LastError(), 0) << line.LastErrorDesc();
        line.Config(19200, 8, 'N', 0, false, false);
        ASSERT_EQ(line.LastError(), 0) << line.LastErrorDesc();
        line.Purge();
        if (c.comPortOption) {
            termios t{};
            ASSERT_EQ(tcgetattr(device.Master(), &t), 0);
            EXPECT_EQ(cfgetospeed(&t), speed_t(B19200)) << "the rate reached the device's pty";
        }

        // The server flushes the device when it opens it and on the purge, which it may handle after a
        // line was written: lines are written until one comes through (a short wait each, in a loop).
        const std::string status = "PVEX: 1.23V ON\xff\r";
        std::string got;
        for (int i = 0; i < 50 && got != status.substr(0, status.size() - 1); ++i) {
            ASSERT_TRUE(device.Send(status));
            got = line.RecvTerminated(2000, "\r");
            ASSERT_TRUE(line.LastError() == 0 || line.LastError() == ErrTimeout) << line.LastErrorDesc();
        }
        EXPECT_EQ(got, status.substr(0, status.size() - 1));

        line.SendString("AT\xff\r");
        EXPECT_EQ(line.LastError(), 0) << line.LastErrorDesc();
        EXPECT_EQ(device.Receive(4), "AT\xff\r");

        server.Stop();
        line.RecvTerminated(20000, "\r");
        EXPECT_EQ(line.LastError(), EIO) << line.LastErrorDesc();
        EXPECT_FALSE(line.GetCommState());
        EXPECT_EQ(line.LastError(), EIO) << "as an unplugged adapter reports it";
    }
}

} // namespace
