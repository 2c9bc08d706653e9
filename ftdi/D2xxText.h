// Text in the byte fields of the D2XX interface (serial numbers, descriptions, open keys). Drivers hand
// them over as UTF-8 (our own backend, from the USB string descriptors) or as single bytes: a field is read
// as UTF-8 when it is valid UTF-8, else one character per byte.
#pragma once

#include <QByteArray>
#include <QString>

// The text of a field: the bytes up to the first NUL, never more than size.
QString D2xxFieldText(const char* field, qsizetype size);
// The bytes that name this text to the driver again, at most maxBytes of them: those the driver gave for
// it, when a field read it so; else single bytes for a text that has them, UTF-8 for any other.
QByteArray D2xxKeyBytes(const QString& text, qsizetype maxBytes);
// Text as UTF-8 in at most maxBytes bytes, cut only between two characters.
QByteArray D2xxUtf8Cut(const QString& text, qsizetype maxBytes);
