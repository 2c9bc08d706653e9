#include "PictureFormat.h"

#include "frmDodatkiU.h"

#include <QBuffer>
#include <QFileInfo>

PictureTarget PictureTargetFor(const QString& chosen) {
    const QString suffix = QFileInfo(chosen).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return {chosen, PictureFormat::Png};
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        return {chosen, PictureFormat::Jpeg};
    return {chosen + QStringLiteral(".jpg"), PictureFormat::Jpeg};
}

QByteArray EncodePicture(const QImage& image, PictureFormat format, int jpegQuality) {
    if (format == PictureFormat::Jpeg)
        return TfrmDodatki::EncodeJpeg(image, jpegQuality);
    if (image.isNull())
        return {};
    QByteArray out;
    QBuffer buffer(&out);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return {};
    return out;
}
