// The maker's name and web address, shown by the monitor and by the chip watcher window alike.
#pragma once

#include <QString>

inline const QString MakerWebAddress = QStringLiteral("https://pravex.example/");
// The address as a short caption, where a label has room for the host name only.
inline const QString MakerWebCaption = QStringLiteral("pravex.example");
