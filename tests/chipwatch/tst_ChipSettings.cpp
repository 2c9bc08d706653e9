// Stored settings of the chip watcher (aliases, default adapter, pin, view) against the real settings
// store, and the window's pure rules: the port check, the mini view's description and the fade curve.
// labels: unit
#include "ChipSettings.h"
#include "chip_helpers.h"
#include "common/TevTools.h"

#include <gtest/gtest.h>

using namespace chipwatch;

TEST(ChipPortCheck, RefusesUnknownPortsAndAbsurdNumbers) {
    for (const char* ok : {"ttyUSB0", "ttyUSB12", "COM1", "COM123", "ttyACM999", "pts/3"})
        EXPECT_TRUE(PortPassesCheck(QString::fromLatin1(ok))) << ok;
    for (const char* bad : {"COM?", "?", "ttyUSB?", "COM1234", "ttyUSB1000", "COM4294967295"})
        EXPECT_FALSE(PortPassesCheck(QString::fromLatin1(bad))) << bad;
}

TEST(ChipMiniDescription, AliasThenQrbDescriptionThenUsbDescription) {
    EXPECT_EQ(MiniDescriptionText("Bench PSU", "QRB-12", "FT232R USB UART"), "Bench PSU");
    // Blank alias counts as none; the alias is shown as typed otherwise.
    EXPECT_EQ(MiniDescriptionText("   ", "QRB-12", "FT232R USB UART"), "QRB-12");
    EXPECT_EQ(MiniDescriptionText(" x ", "QRB-12", "FT232R USB UART"), " x ");
    // The code counts only in upper case, anywhere in the text.
    EXPECT_EQ(MiniDescriptionText("", "my qrb board", "FT232R USB UART"), "FT232R USB UART");
    EXPECT_EQ(MiniDescriptionText("", "board QRBx", "FT232R USB UART"), "board QRBx");
    EXPECT_EQ(MiniDescriptionText("", "   ", "FT232R USB UART"), "FT232R USB UART");
}

TEST(ChipAliases, SharedKeyAndEmptySerialHasNoAlias) {
    ClearSettings();
    EXPECT_EQ(ReadAlias("A1"), "");
    WriteAlias("A1", "Left bench");
    EXPECT_EQ(ReadAlias("A1"), "Left bench");
    EXPECT_EQ(RegReadString("A1", "?", "Software\\AliasFT232a"), "Left bench");
    WriteAlias("A1", "");
    EXPECT_EQ(RegReadString("A1", "?", "Software\\AliasFT232a"), "")
        << "an empty alias is stored, not removed";

    WriteAlias("", "nobody");
    EXPECT_EQ(ReadAlias(""), "");
    EXPECT_EQ(RegReadString("", "missing", "Software\\AliasFT232a"), "missing");
}

TEST(ChipSettingsKeys, TwoApplicationsKeepTheirOwnValues) {
    ClearSettings();
    EXPECT_EQ(SpinkaKeyFor("pravex"), "Software\\pravex_spinka");
    TChipSettings a(SpinkaKeyFor("AppA"));
    TChipSettings b(SpinkaKeyFor("AppB"));
    EXPECT_EQ(a.ReadDefaultChip(), "");
    EXPECT_EQ(a.ReadPinned(), 0);
    EXPECT_FALSE(a.ReadMiniVer());

    a.StoreDefault("FT111");
    a.WritePinned(1);
    a.WriteMiniVer(true);
    b.StoreDefault("FT222");
    EXPECT_EQ(a.ReadDefaultChip(), "FT111");
    EXPECT_EQ(b.ReadDefaultChip(), "FT222");
    EXPECT_EQ(a.ReadPinned(), 1);
    EXPECT_EQ(b.ReadPinned(), 0);
    EXPECT_TRUE(a.ReadMiniVer());
    EXPECT_FALSE(b.ReadMiniVer());

    a.ClearDefault();
    EXPECT_EQ(RegReadString("DefaultChip", "missing", a.key()), "") << "cleared means present and empty";
}

TEST(ChipFadeIn, MonotoneSlowStartThroughAnchors) {
    const auto& t = FadeInTable();
    const int idx[] = {0, 24, 48, 72, 96, 120, 144, 168, 192, 216, 240, 243, 246, 249, 252, 255};
    const int val[] = {0, 1, 1, 4, 10, 22, 39, 65, 100, 148, 209, 218, 227, 236, 245, 255};
    for (std::size_t k = 0; k < std::size(idx); ++k)
        EXPECT_EQ(t[std::size_t(idx[k])], val[k]) << "index " << idx[k];
    for (int i = 1; i <= 52; ++i)
        EXPECT_EQ(t[std::size_t(i)], 1) << i;
    for (int i = 1; i < 256; ++i)
        EXPECT_GE(t[std::size_t(i)], t[std::size_t(i - 1)]) << i;
    // Only the last step of the fade-in (index 255) passes 245.
    int over = 0;
    for (int i = 0; i <= 255; i += 3)
        over += t[std::size_t(i)] > 245;
    EXPECT_EQ(over, 1);
}
