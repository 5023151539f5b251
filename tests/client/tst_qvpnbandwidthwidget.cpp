#include <QtTest>

#include "pixelcheck.h"
#include "qvpnbandwidthwidget.h"

using namespace PixelCheck;

class TestQVPNBandwidthWidget : public QObject
{
    Q_OBJECT

private slots:
    void bitrateText_data();
    void bitrateText();
    void scaleFollowsLargestKeptSample_data();
    void scaleFollowsLargestKeptSample();
    void scaleFallsWhenLargeSamplesLeave();
    void keepsWhatFitsTheWidth_data();
    void keepsWhatFitsTheWidth();
    void emptyGraphShowsOnlyBackgroundAndGrid();
    void barsArrowsAndLabels();
    void hugeSampleUsesTopOfLadder();
    void rateAndScaleTexts();

private:
    const QColor background { 247, 247, 250 };
    const QColor grid { 226, 226, 226 };
};

void TestQVPNBandwidthWidget::bitrateText_data()
{
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << quint64(0) << "0.00bits";
    QTest::newRow("bits at the limit") << quint64(10) << "100.00bits";
    QTest::newRow("first Kbit") << quint64(11) << "0.11Kbit";
    QTest::newRow("12 bytes") << quint64(12) << "0.12Kbit";
    QTest::newRow("Kbit at the limit") << quint64(10000) << "100.00Kbit";
    QTest::newRow("first Mbit") << quint64(10001) << "0.10Mbit";
    QTest::newRow("100000 bytes") << quint64(100000) << "1.00Mbit";
    QTest::newRow("Mbit at the limit") << quint64(10000000) << "100.00Mbit";
    QTest::newRow("first Gbit") << quint64(10000001) << "0.10Gbit";
    QTest::newRow("top of the ladder") << quint64(10000000000ULL) << "100.00Gbit";
}

void TestQVPNBandwidthWidget::bitrateText()
{
    QFETCH(quint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(::bitrateText(bytes), text);
}

void TestQVPNBandwidthWidget::scaleFollowsLargestKeptSample_data()
{
    QTest::addColumn<uint>("download");
    QTest::addColumn<uint>("upload");
    QTest::addColumn<quint64>("scale");
    QTest::newRow("floor") << 0u << 0u << quint64(100000);
    QTest::newRow("100000 stays") << 100000u << 0u << quint64(100000);
    QTest::newRow("upload counts too") << 0u << 100001u << quint64(200000);
    QTest::newRow("500000 stays") << 500000u << 0u << quint64(500000);
    QTest::newRow("just above 500000") << 500001u << 0u << quint64(1000000);
    QTest::newRow("just above 5M") << 5000001u << 0u << quint64(10000000);
    QTest::newRow("200M stays") << 200000000u << 0u << quint64(200000000);
    QTest::newRow("500M stays") << 500000000u << 0u << quint64(500000000);
    QTest::newRow("just above 500M") << 0u << 500000001u << quint64(10000000000ULL);
    QTest::newRow("largest count") << 0xffffffffu << 0u << quint64(10000000000ULL);
}

void TestQVPNBandwidthWidget::scaleFollowsLargestKeptSample()
{
    QFETCH(uint, download);
    QFETCH(uint, upload);
    QFETCH(quint64, scale);
    QVPNBandwidthWidget widget(nullptr);
    widget.resize(342, 100);
    QCOMPARE(widget.scaleMaximum(), quint64(100000));
    widget.addSample(1, download, upload);
    QCOMPARE(widget.scaleMaximum(), scale);
}

void TestQVPNBandwidthWidget::scaleFallsWhenLargeSamplesLeave()
{
    QVPNBandwidthWidget widget(nullptr);
    widget.resize(12, 100); // room for two samples
    widget.addSample(1, 3000000, 0);
    widget.addSample(1, 10, 10);
    QCOMPARE(widget.scaleMaximum(), quint64(5000000));
    widget.addSample(0, 10, 10);
    QCOMPARE(widget.samples().size(), 2);
    QCOMPARE(widget.scaleMaximum(), quint64(100000));
}

void TestQVPNBandwidthWidget::keepsWhatFitsTheWidth_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("kept");
    QTest::newRow("window width") << 340 << 57;
    QTest::newRow("exact multiple") << 342 << 57;
    QTest::newRow("one pixel more") << 343 << 58;
    QTest::newRow("narrow") << 1 << 1;
}

void TestQVPNBandwidthWidget::keepsWhatFitsTheWidth()
{
    QFETCH(int, width);
    QFETCH(int, kept);
    QVPNBandwidthWidget widget(nullptr);
    widget.resize(width, 100);
    for (uint i = 1; i <= 100; ++i)
        widget.addSample(1, i, i * 2);
    QCOMPARE(widget.samples().size(), kept);
    QCOMPARE(widget.samples().first().download, 100u); // newest first
    QCOMPARE(widget.samples().last().upload, uint(2 * (101 - kept)));
}

void TestQVPNBandwidthWidget::emptyGraphShowsOnlyBackgroundAndGrid()
{
    QVPNBandwidthWidget widget(nullptr);
    widget.resize(301, 100);
    const QImage image = widget.grab().toImage();
    QCOMPARE(at(image, 1, 1), background);
    QCOMPARE(at(image, 0, 50), grid);
    QCOMPARE(at(image, 24, 50), grid);
    QCOMPARE(at(image, 288, 50), grid);
    QCOMPARE(at(image, 50, 0), grid);
    QCOMPARE(at(image, 50, 96), grid);
    QCOMPARE(at(image, 300, 99), background);
    // No arrows, no rates, no scale labels.
    QVERIFY(areaOnly(image, image.rect(), { background, grid }));
}

void TestQVPNBandwidthWidget::barsArrowsAndLabels()
{
    QVPNBandwidthWidget widget(nullptr);
    widget.resize(301, 100); // r = 300, newest bars at x 296 and 299
    widget.addSample(1, 40000, 80000); // oldest: tunnel
    widget.addSample(0, 25000, 50000); // newest: outside the tunnel
    QCOMPARE(widget.scaleMaximum(), quint64(100000));
    const QImage image = widget.grab().toImage();

    const QColor tunnelUpload(66, 175, 226), tunnelDownload(133, 201, 225);
    const QColor plainUpload(239, 86, 75), plainDownload(235, 128, 122);
    // Newest sample: download bar top at 75, upload bar top at 50.
    QCOMPARE(at(image, 296, 80), plainDownload);
    QCOMPARE(at(image, 296, 70), background);
    QCOMPARE(at(image, 299, 55), plainUpload);
    QCOMPARE(at(image, 299, 45), background);
    // The sample before, six pixels to the left: tops at 60 and 20.
    QCOMPARE(at(image, 290, 65), tunnelDownload);
    QCOMPARE(at(image, 290, 55), background);
    QCOMPARE(at(image, 293, 30), tunnelUpload);

    // Arrows take the newest sample's colours.
    QCOMPARE(at(image, 300 - 179, 20), plainUpload);
    QCOMPARE(at(image, 300 - 89, 13), plainDownload);
    widget.addSample(1, 0, 0);
    const QImage tunnel = widget.grab().toImage();
    QCOMPARE(at(tunnel, 300 - 179, 20), tunnelUpload);
    QCOMPARE(at(tunnel, 300 - 89, 13), tunnelDownload);

    // Rates and scale labels are written in the text grey.
    const QColor text(128, 128, 128);
    QVERIFY(areaHas(image, QRect(300 - 170, 8, 40, 14), text, 30));
    QVERIFY(areaHas(image, QRect(300 - 80, 8, 40, 14), text, 30));
    QVERIFY(areaHas(image, QRect(5, 8, 40, 14), text, 30));
    QVERIFY(areaHas(image, QRect(5, 47, 40, 14), text, 30));
    QVERIFY(areaHas(image, QRect(5, 77, 40, 14), text, 30));
}

void TestQVPNBandwidthWidget::hugeSampleUsesTopOfLadder()
{
    QVPNBandwidthWidget widget(nullptr);
    widget.resize(301, 100);
    widget.addSample(1, 600000000, 0);
    QCOMPARE(widget.scaleMaximum(), quint64(10000000000ULL));
    QCOMPARE(::bitrateText(widget.scaleMaximum()), QStringLiteral("100.00Gbit"));
    // 600 million of ten thousand million: a bar six pixels high.
    const QImage image = widget.grab().toImage();
    QCOMPARE(at(image, 296, 97), QColor(133, 201, 225));
    QCOMPARE(at(image, 296, 90), background);
}

// What is written where: the two rates show half the newest sample, the scale
// its top, middle and zero; the arrows are the exact outlines, in the newest
// sample's colours.
void TestQVPNBandwidthWidget::rateAndScaleTexts()
{
    QVPNBandwidthWidget widget(nullptr);
    widget.resize(301, 101); // r = 300, h / 2 = 50
    widget.addSample(1, 900000, 900000);
    widget.addSample(0, 5000, 2001);
    PaintRecorder recorder(widget.size());
    widget.render(&recorder);

    QStringList written;
    for (const PaintRecorder::Text& text : recorder.texts) {
        written << QStringLiteral("%1,%2 %3").arg(text.origin.x()).arg(text.origin.y()).arg(text.text);
        QCOMPARE(text.pen, QColor(128, 128, 128));
    }
    QCOMPARE(written, (QStringList { "130,21 10.00Kbit", "220,21 25.00Kbit", "5,21 10.00Mbit",
                                     "5,60 5.00Mbit", "5,91 0.00bits" }));

    QCOMPARE(recorder.polygons.size(), 2);
    const QPolygonF up(QVector<QPointF> { { 121, 10 }, { 127, 16 }, { 124, 16 }, { 124, 24 }, { 118, 24 }, { 118, 16 }, { 115, 16 } });
    const QPolygonF down(QVector<QPointF> { { 211, 24 }, { 217, 16 }, { 214, 16 }, { 214, 10 }, { 208, 10 }, { 208, 16 }, { 205, 16 } });
    QCOMPARE(recorder.polygons.at(0).points, up);
    QCOMPARE(recorder.polygons.at(0).brush, QColor(239, 86, 75));
    QCOMPARE(recorder.polygons.at(0).pen, Qt::NoPen);
    QCOMPARE(recorder.polygons.at(1).points, down);
    QCOMPARE(recorder.polygons.at(1).brush, QColor(235, 128, 122));
    QCOMPARE(recorder.polygons.at(1).pen, Qt::NoPen);

    QVPNBandwidthWidget empty(nullptr);
    empty.resize(301, 101);
    PaintRecorder nothing(empty.size());
    empty.render(&nothing);
    QVERIFY(nothing.texts.isEmpty());
    QVERIFY(nothing.polygons.isEmpty());
}

QTEST_MAIN(TestQVPNBandwidthWidget)
#include "tst_qvpnbandwidthwidget.moc"
