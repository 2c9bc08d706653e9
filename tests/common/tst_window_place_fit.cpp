// Stored window places against screen layouts: reachable places kept to the pixel, unreachable ones
// brought onto the nearest screen with the least move.
// labels: unit
#include "WindowPlaceFit.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

struct Case {
    const char* what;
    QRect frame;
    QList<QRect> areas;
    QRect expected;
};

const QRect Laptop(0, 0, 1280, 800);
const QRect LeftMonitor(-1920, 0, 1920, 1080); // a monitor to the left: negative coordinates
const QRect RightMonitor(1280, 0, 1920, 1080);

} // namespace

TEST(WindowPlaceFit, PlacesOnEveryLayout) {
    const QList<Case> cases{
        {"inside: kept", QRect(100, 100, 400, 300), {Laptop}, QRect(100, 100, 400, 300)},
        {"partly off the right, title bar still grabbed: kept",
         QRect(1200, 50, 400, 300),
         {Laptop},
         QRect(1200, 50, 400, 300)},
        {"partly off the bottom: kept", QRect(300, 700, 400, 300), {Laptop}, QRect(300, 700, 400, 300)},
        {"title bar above the screen: nearest place below the top",
         QRect(300, -200, 400, 300),
         {Laptop},
         QRect(300, 0, 400, 300)},
        {"title bar only a sliver on screen: moved in",
         QRect(1260, 100, 400, 300),
         {Laptop},
         QRect(880, 100, 400, 300)},
        {"on a right monitor that is gone: back at the laptop's right edge",
         QRect(1500, 200, 600, 400),
         {Laptop},
         QRect(680, 200, 600, 400)},
        {"on the right monitor while it is there: kept",
         QRect(1500, 200, 600, 400),
         {Laptop, RightMonitor},
         QRect(1500, 200, 600, 400)},
        {"on a left monitor (negative place) that is there: kept",
         QRect(-1500, 300, 500, 400),
         {Laptop, LeftMonitor},
         QRect(-1500, 300, 500, 400)},
        {"on a left monitor that is gone: at the laptop's left edge",
         QRect(-1500, 300, 500, 400),
         {Laptop},
         QRect(0, 300, 500, 400)},
        {"far away: onto the nearest screen",
         QRect(-5000, 7000, 410, 320),
         {Laptop, RightMonitor},
         QRect(0, 480, 410, 320)},
        {"far right and down: the nearest of two",
         QRect(90000, 90000, 410, 320),
         {Laptop, RightMonitor},
         QRect(2790, 760, 410, 320)},
        {"bigger than the smaller screen now: shrunk to it",
         QRect(3000, 100, 1600, 1000),
         {Laptop},
         QRect(0, 0, 1280, 800)},
        {"wider only: width shrunk, height kept",
         QRect(3000, 100, 1600, 500),
         {Laptop},
         QRect(0, 100, 1280, 500)},
        {"at the end of the int range",
         QRect(INT_MAX - 500, INT_MIN + 10, 400, 300),
         {Laptop},
         QRect(880, 0, 400, 300)},
        {"no screen known yet: left alone", QRect(-5000, 7000, 410, 320), {}, QRect(-5000, 7000, 410, 320)},
        {"empty areas are ignored", QRect(-5000, 100, 410, 320), {QRect(), Laptop}, QRect(0, 100, 410, 320)},
        {"a narrow window needs only its own width on screen",
         QRect(5, 10, 30, 30),
         {Laptop},
         QRect(5, 10, 30, 30)},
        {"and all of it", QRect(-10, 10, 30, 30), {Laptop}, QRect(0, 10, 30, 30)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QRect got = FitWindowPlace(c.frame, c.areas);
        EXPECT_EQ(got, c.expected);
        if (!c.areas.isEmpty()) {
            EXPECT_TRUE(TitleBarReachable(got, c.areas));
        }
    }
}

TEST(WindowPlaceFit, TheGripDecidesWhatIsReachable) {
    struct GripCase {
        const char* what;
        QRect frame;
        TTitleBarGrip grip;
        bool reachable;
    };
    const QList<GripCase> cases{
        {"48 px of the bar on screen", QRect(1232, 10, 400, 300), {}, true},
        {"47 px", QRect(1233, 10, 400, 300), {}, false},
        {"8 px of the bar's height below the top", QRect(100, -16, 400, 300), {}, true},
        {"7 px", QRect(100, -17, 400, 300), {}, false},
        {"a frameless window's taller handle", QRect(100, -40, 400, 300), {51, 48, 8}, true},
        {"an empty frame is never reachable", QRect(100, 100, 0, 0), {}, false},
    };
    for (const GripCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(TitleBarReachable(c.frame, {Laptop}, c.grip), c.reachable);
    }
}
