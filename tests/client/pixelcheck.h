#ifndef PIXELCHECK_H
#define PIXELCHECK_H

#include <QColor>
#include <QFont>
#include <QImage>
#include <QList>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPen>
#include <QPolygonF>
#include <QRect>
#include <QTransform>

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

// A paint device that keeps what is drawn on it instead of pixels: each text
// with the origin of its baseline, pen and font; each image with the
// rectangle it lands in; each filled polygon with its brush. Positions are
// device coordinates. Lines, rectangles and paths are not kept.
class PaintRecorder : public QPaintDevice
{
public:
    struct Text
    {
        QPointF origin;
        QString text;
        QColor pen;
        QFont font;
    };
    struct Image
    {
        QRectF target;
        QSize size;
    };
    struct Polygon
    {
        QPolygonF points;
        QColor brush;
        Qt::PenStyle pen;
    };

    explicit PaintRecorder(const QSize& size) : m_size(size), m_engine(this) { }

    QList<Text> texts;
    QList<Image> images;
    QList<Polygon> polygons;

    QPaintEngine* paintEngine() const override { return &m_engine; }

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth:
            return m_size.width();
        case PdmHeight:
            return m_size.height();
        case PdmWidthMM:
            return m_size.width() * 254 / 960;
        case PdmHeightMM:
            return m_size.height() * 254 / 960;
        case PdmNumColors:
            return 0;
        case PdmDepth:
            return 32;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY:
            return 96;
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return int(devicePixelRatioFScale());
        default:
            return QPaintDevice::metric(metric);
        }
    }

private:
    class Engine : public QPaintEngine
    {
    public:
        explicit Engine(PaintRecorder* recorder) : QPaintEngine(AllFeatures), m_recorder(recorder) { }
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        Type type() const override { return User; }
        void updateState(const QPaintEngineState& state) override
        {
            if (state.state() & DirtyPen)
                m_pen = state.pen();
            if (state.state() & DirtyBrush)
                m_brush = state.brush();
            if (state.state() & DirtyTransform)
                m_transform = state.transform();
        }
        void drawTextItem(const QPointF& p, const QTextItem& item) override
        {
            m_recorder->texts << Text { m_transform.map(p), item.text(), m_pen.color(), item.font() };
        }
        void drawImage(const QRectF& r, const QImage& image, const QRectF&, Qt::ImageConversionFlags) override
        {
            m_recorder->images << Image { m_transform.mapRect(r), image.size() };
        }
        void drawPixmap(const QRectF& r, const QPixmap& pixmap, const QRectF&) override
        {
            m_recorder->images << Image { m_transform.mapRect(r), pixmap.size() };
        }
        void drawPolygon(const QPointF* points, int count, PolygonDrawMode mode) override
        {
            if (mode == PolylineMode || mode == ConvexMode)
                return; // lines and rectangles
            QPolygonF polygon;
            for (int i = 0; i < count; ++i)
                polygon << points[i];
            m_recorder->polygons << Polygon { m_transform.map(polygon), m_brush.color(), m_pen.style() };
        }
        void drawPolygon(const QPoint* points, int count, PolygonDrawMode mode) override
        {
            QVector<QPointF> converted;
            for (int i = 0; i < count; ++i)
                converted << points[i];
            drawPolygon(converted.constData(), count, mode);
        }
        void drawPath(const QPainterPath&) override { }
        void drawRects(const QRectF*, int) override { }
        void drawRects(const QRect*, int) override { }
        void drawLines(const QLineF*, int) override { }
        void drawLines(const QLine*, int) override { }

    private:
        PaintRecorder* m_recorder;
        QPen m_pen;
        QBrush m_brush;
        QTransform m_transform;
    };

    QSize m_size;
    mutable Engine m_engine;
};

} // namespace PixelCheck

#endif // PIXELCHECK_H
