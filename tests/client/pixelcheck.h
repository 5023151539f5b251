#ifndef PIXELCHECK_H
#define PIXELCHECK_H

#include <QColor>
#include <QImage>
#include <QRect>

#include <cstdlib>

// Colour checks on rendered widgets. Antialiased text is only partly covered
// at its edges, so text colours are looked for anywhere in an area.
namespace PixelCheck {

inline bool near(QRgb pixel, const QColor& colour, int tolerance)
{
    return std::abs(qRed(pixel) - colour.red()) <= tolerance
        && std::abs(qGreen(pixel) - colour.green()) <= tolerance
        && std::abs(qBlue(pixel) - colour.blue()) <= tolerance;
}

inline bool areaHas(const QImage& image, const QRect& area, const QColor& colour, int tolerance = 8)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.rect().contains(x, y) && near(image.pixel(x, y), colour, tolerance))
                return true;
    return false;
}

// True when every pixel of area is one of the allowed colours.
inline bool areaOnly(const QImage& image, const QRect& area, const QList<QColor>& allowed)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            bool known = false;
            for (const QColor& colour : allowed)
                known = known || near(image.pixel(x, y), colour, 0);
            if (!known)
                return false;
        }
    return true;
}

inline QColor at(const QImage& image, int x, int y)
{
    return QColor(image.pixel(x, y));
}

} // namespace PixelCheck

#endif // PIXELCHECK_H
