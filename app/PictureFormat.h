// The chart picture's file format, taken from the name the user gave it.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

enum class PictureFormat { Jpeg, Png };

struct PictureTarget {
    QString path; // the name as given, or with ".jpg" added when its extension names no known format
    PictureFormat format = PictureFormat::Jpeg;
};

PictureTarget PictureTargetFor(const QString& chosen);
// The picture in the format; empty on failure. JPEG at the given quality.
QByteArray EncodePicture(const QImage& image, PictureFormat format, int jpegQuality);
