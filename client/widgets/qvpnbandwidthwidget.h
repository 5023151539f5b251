#ifndef QVPNBANDWIDTHWIDGET_H
#define QVPNBANDWIDTHWIDGET_H

#include <QColor>
#include <QList>
#include <QPen>
#include <QString>
#include <QWidget>

#include "varvexprotocol.h"

struct BandwidthSample
{
    quint8 type = VarvexBandwidthAllInterfaces; // VarvexBandwidthTunnel: tunnel traffic; anything else: outside it
    quint32 download = 0;
    quint32 upload = 0;
};

// The rate text of a byte count ("0.00bits", "1.00Mbit", ...).
QString bitrateText(quint64 bytes);

// Traffic graph of the connection page.
class QVPNBandwidthWidget : public QWidget
{
    Q_OBJECT
public:
    explicit QVPNBandwidthWidget(QWidget* parent = nullptr);

    void addSample(uchar type, uint download, uint upload);
    quint64 scaleMaximum() const;
    const QList<BandwidthSample>& samples() const { return m_samples; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<BandwidthSample> m_samples; // newest first
    quint32 m_maxValue = 1024;
    QColor m_backgroundColor;
    QPen m_gridPen;
    QPen m_tunnelUploadPen;
    QPen m_tunnelDownloadPen;
    QPen m_plainUploadPen;
    QPen m_plainDownloadPen;
    QPen m_textPen;
};

#endif // QVPNBANDWIDTHWIDGET_H
