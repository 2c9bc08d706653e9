// Where a window stored at a place opens on the screens there are now: a place that can still be
// reached is kept to the pixel; one left behind by a screen that is gone, or moved far away, comes back
// onto the nearest screen.
#pragma once

#include <QList>
#include <QRect>

// The part of a frame's top edge a user grabs to move the window: when none of it is on a screen, the
// window cannot be moved back by hand.
struct TTitleBarGrip {
    int height = 24;   // the strip along the frame's top that belongs to the title bar
    int minWidth = 48; // how much of the strip must be on one screen to be grabbed
    int minHeight = 8;
};

// frame is the outer rectangle (title bar included); areas are the screens' usable areas, the primary's
// first. Returns frame itself when its title bar is reachable on some area; otherwise frame moved by the
// least amount onto the nearest area, shrunk to that area where it does not fit. With no areas at all
// (no screen known yet) frame is returned as it is.
QRect FitWindowPlace(const QRect& frame, const QList<QRect>& areas, const TTitleBarGrip& grip = {});

// True when a grip-sized part of the frame's title bar lies on one of the areas.
bool TitleBarReachable(const QRect& frame, const QList<QRect>& areas, const TTitleBarGrip& grip = {});

// The usable areas of the screens the application sees now, the primary's first.
QList<QRect> CurrentScreenAreas();
