#pragma once
// Image and colour comparisons that allow for the rounding of Qt's raster
// paths.  Drawing and the premultiplied round trip (an icon's pixmap is
// premultiplied, a PNG is not) may differ by one step per channel from one
// CPU's SIMD code to another's, most of all in nearly transparent pixels.
// Both sides are compared premultiplied, where a colour under a low alpha
// has only as many steps as the alpha allows, so a one-step tolerance is
// enough on every machine and still tells one picture from another.

#include <QColor>
#include <QImage>
#include <QString>

#include <cstdlib>

namespace imagecompare {

constexpr int kTolerance = 1;

inline bool channelsClose(QRgb a, QRgb b, int tolerance = kTolerance)
{
    return std::abs(qAlpha(a) - qAlpha(b)) <= tolerance && std::abs(qRed(a) - qRed(b)) <= tolerance
           && std::abs(qGreen(a) - qGreen(b)) <= tolerance
           && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

// Empty when the images have the same size and every pixel is within the
// tolerance, otherwise what differs first.
inline QString difference(const QImage &actual, const QImage &expected, int tolerance = kTolerance)
{
    if (actual.isNull() || expected.isNull())
        return QStringLiteral("null image (actual %1, expected %2)")
            .arg(actual.isNull())
            .arg(expected.isNull());
    if (actual.size() != expected.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width())
            .arg(actual.height())
            .arg(expected.width())
            .arg(expected.height());
    const QImage a = actual.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage e = expected.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < a.height(); ++y) {
        const auto *ra = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *re = reinterpret_cast<const QRgb *>(e.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            if (!channelsClose(ra[x], re[x], tolerance))
                return QStringLiteral("pixel %1,%2 is %3 (premultiplied), expected %4")
                    .arg(x)
                    .arg(y)
                    .arg(ra[x], 8, 16, QLatin1Char('0'))
                    .arg(re[x], 8, 16, QLatin1Char('0'));
        }
    }
    return QString();
}

// Empty when the colours are within the tolerance, otherwise both colours.
inline QString colourDifference(const QColor &actual, const QColor &expected,
                                int tolerance = kTolerance)
{
    if (channelsClose(actual.rgba(), expected.rgba(), tolerance))
        return QString();
    return QStringLiteral("%1, expected %2")
        .arg(actual.name(QColor::HexArgb), expected.name(QColor::HexArgb));
}

} // namespace imagecompare
