// The chip watcher window's pictures, drawn in code so the window needs no image files: the cat's-eye
// emblem, push-pins, close button, the list's state images and the menu icons.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace chipwatch {

enum class TStateImage { Active = 0, Selectable = 1, Unusable = 2 };
enum class TMenuIcon { Refresh, ResetPulse, ResetLine, SetDefault, ClearDefault, Alias };

QPixmap EmblemPixmap(const QColor& iris); // 48x48; orange normally, magenta while a scan runs
QPixmap PinOffPixmap();                   // 16x16 grey pin lying down
QPixmap PinOnPixmap();                    // 16x16 blue pin stuck in
QPixmap ClosePixmap();                    // 24x16 red button with a white cross
QPixmap StatePixmap(TStateImage state);   // 16x16
QPixmap CurvedArrowPixmap(int size);      // purple curved arrow
QIcon MenuIcon(TMenuIcon icon);           // 16x16

inline const QColor kEmblemOrange{255, 140, 0};
inline const QColor kEmblemMagenta{255, 0, 255};

} // namespace chipwatch
