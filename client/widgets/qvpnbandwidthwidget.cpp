#include "qvpnbandwidthwidget.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPolygon>

#include <cmath>

QString bitrateText(quint64 bytes)
{
    const quint64 v = bytes * 10;
    if (v > 100000000ULL)
        return QString::number(static_cast<float>(v) / 1000000000.0f, 'f', 2) + QLatin1String("Gbit");
    if (v > 100000ULL)
        return QString::number(static_cast<double>(v) / 1000000.0, 'f', 2) + QLatin1String("Mbit");
    if (v > 100ULL)
        return QString::number(static_cast<double>(v) / 1000.0, 'f', 2) + QLatin1String("Kbit");
    return QString::number(static_cast<double>(v), 'f', 2) + QLatin1String("bits");
}

QVPNBandwidthWidget::QVPNBandwidthWidget(QWidget* parent)
    : QWidget(parent)
    , m_backgroundColor(247, 247, 250)
    , m_gridPen(QColor(226, 226, 226), 1)
    , m_tunnelUploadPen(QColor(66, 175, 226), 3)
    , m_tunnelDownloadPen(QColor(133, 201, 225), 3)
    , m_plainUploadPen(QColor(239, 86, 75), 3)
    , m_plainDownloadPen(QColor(235, 128, 122), 3)
    , m_textPen(QColor(128, 128, 128), 3)
{
}

void QVPNBandwidthWidget::addSample(uchar type, uint download, uint upload)
{
    BandwidthSample sample;
    sample.type = type;
    sample.download = download;
    sample.upload = upload;
    m_samples.prepend(sample);

    // Keep only what fits the graph: one sample every 6 pixels.
    const int capacity = static_cast<int>(std::ceil(width() / 6.0));
    while (m_samples.size() > capacity)
        m_samples.removeLast();

    m_maxValue = 1024;
    for (const BandwidthSample& kept : qAsConst(m_samples)) {
        if (kept.download > m_maxValue)
            m_maxValue = kept.download;
        if (kept.upload > m_maxValue)
            m_maxValue = kept.upload;
    }

    update();
}

quint64 QVPNBandwidthWidget::scaleMaximum() const
{
    static const struct {
        quint32 above;
        quint64 scale;
    } ladder[] = {
        { 500000000u, 10000000000ULL },
        { 200000000u, 500000000ULL },
        { 100000000u, 200000000ULL },
        { 50000000u, 100000000ULL },
        { 20000000u, 50000000ULL },
        { 10000000u, 20000000ULL },
        { 5000000u, 10000000ULL },
        { 2000000u, 5000000ULL },
        { 1000000u, 2000000ULL },
        { 500000u, 1000000ULL },
        { 200000u, 500000ULL },
        { 100000u, 200000ULL },
    };
    for (const auto& step : ladder) {
        if (m_maxValue > step.above)
            return step.scale;
    }
    return 100000ULL;
}

void QVPNBandwidthWidget::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event);
    const int w = width();
    const int h = height();

    QPainter painter(this);
    painter.fillRect(rect(), m_backgroundColor);

    painter.setPen(m_gridPen);
    for (int x = 0; x < w; x += 24)
        painter.drawLine(x, 0, x, h - 1);
    for (int y = 0; y < h; y += 24)
        painter.drawLine(0, y, w - 1, y);

    const quint64 scale = scaleMaximum();
    const float hf = static_cast<float>(h);
    const float sf = static_cast<float>(scale);
    auto top = [hf, sf](quint32 value) {
        return static_cast<int>(hf - static_cast<float>(value) * hf / sf);
    };

    for (int i = 0; i < m_samples.size(); ++i) {
        const BandwidthSample& sample = m_samples.at(i);
        const bool tunnel = sample.type == VarvexBandwidthTunnel;
        const int x = (w - 2) - 6 * i;
        painter.setPen(tunnel ? m_tunnelDownloadPen : m_plainDownloadPen);
        painter.drawLine(x - 3, top(sample.download), x - 3, h);
        painter.setPen(tunnel ? m_tunnelUploadPen : m_plainUploadPen);
        painter.drawLine(x, top(sample.upload), x, h);
    }

    if (m_samples.isEmpty())
        return;

    painter.setRenderHint(QPainter::Antialiasing, true);
    const int r = w - 1;
    const BandwidthSample& newest = m_samples.first();
    const bool tunnel = newest.type == VarvexBandwidthTunnel;

    const QPolygon uploadArrow({ QPoint(r - 179, 10), QPoint(r - 173, 16), QPoint(r - 176, 16),
                                 QPoint(r - 176, 24), QPoint(r - 182, 24), QPoint(r - 182, 16),
                                 QPoint(r - 185, 16) });
    painter.setPen(Qt::NoPen);
    painter.setBrush((tunnel ? m_tunnelUploadPen : m_plainUploadPen).color());
    painter.drawPolygon(uploadArrow);

    painter.setPen(m_textPen);
    painter.drawText(QPoint(r - 170, 21), bitrateText(newest.upload / 2));

    const QPolygon downloadArrow({ QPoint(r - 89, 24), QPoint(r - 83, 16), QPoint(r - 86, 16),
                                   QPoint(r - 86, 10), QPoint(r - 92, 10), QPoint(r - 92, 16),
                                   QPoint(r - 95, 16) });
    painter.setPen(Qt::NoPen);
    painter.setBrush((tunnel ? m_tunnelDownloadPen : m_plainDownloadPen).color());
    painter.drawPolygon(downloadArrow);

    painter.setPen(m_textPen);
    painter.drawText(QPoint(r - 80, 21), bitrateText(newest.download / 2));

    painter.drawText(QPoint(5, 21), bitrateText(scale));
    painter.drawText(QPoint(5, h / 2 + 10), bitrateText(scale / 2));
    painter.drawText(QPoint(5, h - 10), bitrateText(0));
}
