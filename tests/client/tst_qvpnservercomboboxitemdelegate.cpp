#include <QtTest>
#include <QAbstractItemView>
#include <QPainter>
#include <QScrollBar>

#include "pixelcheck.h"
#include "qvpnservercombobox.h"
#include "qvpnservercomboboxitemdelegate.h"

using namespace PixelCheck;

class TestQVPNServerComboBoxItemDelegate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void rowBackgroundsAndSeparators();
    void topVisibleRowHasNoSeparatorAfterScrolling();
    void pingColours_data();
    void pingColours();
    void rowWithoutPingShowsNoPingArea();
    void rowContentsAndFonts();
    void namesStayBlackBeforeTheirPing();
    void longNamesEndBeforeThePing();
    void starAreaTogglesAndKeepsListOpen_data();
    void starAreaTogglesAndKeepsListOpen();
    void onlyReleasesAreHandled();

private:
    QImage paintRow(int row, int height = 41 * 4);
    QAbstractItemDelegate* delegate() const { return m_box->itemDelegate(); }

    QVPNServerComboBox* m_box = nullptr;
    const QColor sentinel { 255, 0, 255 };
    const QColor current { 112, 141, 198 };
    const QColor separator { 202, 202, 202 };
};

void TestQVPNServerComboBoxItemDelegate::initTestCase()
{
    Q_INIT_RESOURCE(varvex);
}

void TestQVPNServerComboBoxItemDelegate::init()
{
    m_box = new QVPNServerComboBox(nullptr);
    QList<VPNServerInfo> servers;
    for (int i = 0; i < 12; ++i)
        servers << VPNServerInfo { QStringLiteral("Server %1").arg(i), QStringLiteral("US"),
                                   QStringLiteral("s%1.invalid").arg(i) };
    m_box->setServerList(servers);
}

void TestQVPNServerComboBoxItemDelegate::cleanup()
{
    delete m_box;
    m_box = nullptr;
}

QImage TestQVPNServerComboBoxItemDelegate::paintRow(int row, int height)
{
    QImage image(297, height, QImage::Format_ARGB32);
    image.fill(sentinel);
    QPainter painter(&image);
    delegate()->paint(&painter, QStyleOptionViewItem(), m_box->model()->index(row, 0));
    return image;
}

void TestQVPNServerComboBoxItemDelegate::rowBackgroundsAndSeparators()
{
    QCOMPARE(delegate()->sizeHint(QStyleOptionViewItem(), m_box->model()->index(3, 0)), QSize(297, 41));

    // The current row's fill starts one pixel lower: y + 1 to y + 41.
    m_box->setCurrentIndex(1);
    QImage image = paintRow(1);
    QCOMPARE(at(image, 5, 41), sentinel);
    QCOMPARE(at(image, 5, 42), current);
    QCOMPARE(at(image, 296, 82), current);
    QCOMPARE(at(image, 5, 83), sentinel);
    QCOMPARE(at(image, 150, 41), separator);

    // Other rows: white from y to y + 40, separator line at y from x 10 to 287.
    image = paintRow(2);
    QCOMPARE(at(image, 5, 81), sentinel);
    QCOMPARE(at(image, 5, 82), QColor(Qt::white));
    QCOMPARE(at(image, 296, 122), QColor(Qt::white));
    QCOMPARE(at(image, 5, 123), sentinel);
    QCOMPARE(at(image, 10, 82), separator);
    QCOMPARE(at(image, 287, 82), separator);
    QCOMPARE(at(image, 9, 82), QColor(Qt::white));
    QCOMPARE(at(image, 288, 82), QColor(Qt::white));

    // The top row has none.
    image = paintRow(0);
    QCOMPARE(at(image, 150, 0), QColor(Qt::white));
}

void TestQVPNServerComboBoxItemDelegate::topVisibleRowHasNoSeparatorAfterScrolling()
{
    // The open list shows six rows and scrolls, whatever the style.
    m_box->resize(300, 68);
    m_box->showPopup();
    QCOMPARE(m_box->view()->viewport()->height(), 6 * 41);
    QScrollBar* scrollBar = m_box->view()->verticalScrollBar();
    scrollBar->setValue(3);
    QCOMPARE(scrollBar->value(), 3);
    QImage image = paintRow(3);
    QCOMPARE(at(image, 5, 0), QColor(Qt::white));
    QCOMPARE(at(image, 150, 0), QColor(Qt::white));
    image = paintRow(4);
    QCOMPARE(at(image, 150, 41), separator);
}

void TestQVPNServerComboBoxItemDelegate::pingColours_data()
{
    QTest::addColumn<int>("ping");
    QTest::addColumn<QColor>("colour");
    const QColor grey(160, 160, 164), green(75, 206, 126), amber(253, 186, 61), red(252, 84, 53);
    QTest::newRow("no answer") << -1 << grey;
    QTest::newRow("zero") << 0 << grey;
    QTest::newRow("1 ms") << 1 << green;
    QTest::newRow("199 ms") << 199 << green;
    QTest::newRow("200 ms") << 200 << amber;
    QTest::newRow("399 ms") << 399 << amber;
    QTest::newRow("400 ms") << 400 << red;
}

void TestQVPNServerComboBoxItemDelegate::pingColours()
{
    QFETCH(int, ping);
    QFETCH(QColor, colour);
    QVariantMap data = m_box->itemData(1, Qt::UserRole).toMap();
    data.insert(QStringLiteral("ping"), ping);
    m_box->setItemData(1, data, Qt::UserRole);

    const QImage image = paintRow(1);
    const QRect value(256, 41 + 2, 40, 17);
    const QRect unit(256, 41 + 21, 40, 17);
    QVERIFY(areaHas(image, value, colour, 4));
    QVERIFY(areaHas(image, unit, colour, 4));
    const QList<QColor> bands { QColor(160, 160, 164), QColor(75, 206, 126),
                                QColor(253, 186, 61), QColor(252, 84, 53) };
    for (const QColor& other : bands)
        if (other != colour)
            QVERIFY(!areaHas(image, value.united(unit), other, 4));

    // "---" is three dashes: ink on one band of rows only, unlike any digit.
    if (ping < 1) {
        QImage dashes = image.copy(value);
        int inkedRows = 0;
        for (int y = 0; y < dashes.height(); ++y)
            inkedRows += areaHas(dashes, QRect(0, y, dashes.width(), 1), colour, 4) ? 1 : 0;
        QVERIFY2(inkedRows <= 3, qPrintable(QString::number(inkedRows)));
    }
}

void TestQVPNServerComboBoxItemDelegate::rowWithoutPingShowsNoPingArea()
{
    const QImage image = paintRow(2);
    QVERIFY(areaOnly(image, QRect(250, 82 + 1, 46, 39), { QColor(Qt::white) }));
}

// Star, flag, name and ping at their places in the row, each in its font;
// the flag is centred on the row's middle line whatever its height.
void TestQVPNServerComboBoxItemDelegate::rowContentsAndFonts()
{
    QVariantMap data = m_box->itemData(2, Qt::UserRole).toMap();
    data.insert(QStringLiteral("ping"), 87);
    m_box->setItemData(2, data, Qt::UserRole);
    data = m_box->itemData(3, Qt::UserRole).toMap();
    data.insert(QStringLiteral("code"), QStringLiteral("auto"));
    m_box->setItemData(3, data, Qt::UserRole);
    data = m_box->itemData(4, Qt::UserRole).toMap();
    data.insert(QStringLiteral("code"), QStringLiteral("XX")); // no such flag
    m_box->setItemData(4, data, Qt::UserRole);
    m_box->model()->setData(m_box->model()->index(3, 0), Qt::Checked, Qt::CheckStateRole);

    PaintRecorder recorder(QSize(297, 41 * 6));
    QPainter painter(&recorder);
    for (int row = 2; row <= 4; ++row)
        delegate()->paint(&painter, QStyleOptionViewItem(), m_box->model()->index(row, 0));
    painter.end();

    QCOMPARE(recorder.images.size(), 5); // three stars, two flags
    QCOMPARE(recorder.images.at(0).target, QRectF(24, 82 + 10, 19, 19));
    QCOMPARE(recorder.images.at(1).target, QRectF(56, 82 + 21 - 23 / 2, 32, 23));
    QCOMPARE(recorder.images.at(2).target, QRectF(24, 123 + 10, 19, 19));
    QCOMPARE(recorder.images.at(3).target, QRectF(56, 123 + 21 - 33 / 2, 32, 33));
    QCOMPARE(recorder.images.at(4).target, QRectF(24, 164 + 10, 19, 19));

    QCOMPARE(recorder.texts.size(), 5);
    auto check = [&recorder](int i, const QPointF& origin, const QString& text, int pointSize, int weight) {
        const PaintRecorder::Text& written = recorder.texts.at(i);
        QCOMPARE(written.origin, origin);
        QCOMPARE(written.text, text);
        QCOMPARE(written.font.family(), QStringLiteral("Roboto"));
        QCOMPARE(written.font.pointSize(), pointSize);
        QCOMPARE(written.font.weight(), weight);
        QVERIFY(!written.font.italic());
    };
    check(0, QPointF(93, 82 + 26), QStringLiteral("Server 2"), 14, 35);
    check(1, QPointF(256, 82 + 18), QStringLiteral("87"), 12, 100);
    check(2, QPointF(256, 82 + 34), QStringLiteral("ms"), 14, 35);
    check(3, QPointF(93, 123 + 26), QStringLiteral("Server 3"), 14, 35);
    check(4, QPointF(93, 164 + 26), QStringLiteral("Server 4"), 14, 35);
    // Every name is black, also after a row that left the separator's grey.
    QCOMPARE(recorder.texts.at(0).pen, QColor(Qt::black));
    QCOMPARE(recorder.texts.at(3).pen, QColor(Qt::black));
    QCOMPARE(recorder.texts.at(4).pen, QColor(Qt::black));
}

// Rows painted in one pass share the painter: a row without ping after one
// with a separator must still show its name in black, not in grey.
void TestQVPNServerComboBoxItemDelegate::namesStayBlackBeforeTheirPing()
{
    QImage image(297, 41 * 4, QImage::Format_ARGB32);
    image.fill(sentinel);
    QPainter painter(&image);
    for (int row = 1; row <= 3; ++row)
        delegate()->paint(&painter, QStyleOptionViewItem(), m_box->model()->index(row, 0));
    painter.end();
    for (int row = 1; row <= 3; ++row) {
        const QRect name(93, 41 * row + 10, 80, 20);
        // Grey text would have no pixel darker than its own grey.
        QVERIFY2(areaHas(image, name, QColor(Qt::black), 40), qPrintable(QString::number(row)));
    }
}

// A long name ends before the ping column, cut short with an ellipsis.
void TestQVPNServerComboBoxItemDelegate::longNamesEndBeforeThePing()
{
    const QString longName = QStringLiteral("United States of America - New York City Datacenter 7");
    QVariantMap data = m_box->itemData(2, Qt::UserRole).toMap();
    data.insert(QStringLiteral("name"), longName);
    m_box->setItemData(2, data, Qt::UserRole);

    const QImage image = paintRow(2);
    QVERIFY(areaOnly(image, QRect(250, 82 + 1, 46, 39), { QColor(Qt::white) }));
    QVERIFY(areaHas(image, QRect(93, 82 + 10, 150, 20), QColor(Qt::black), 40));

    PaintRecorder recorder(QSize(297, 41 * 4));
    QPainter painter(&recorder);
    delegate()->paint(&painter, QStyleOptionViewItem(), m_box->model()->index(2, 0));
    QCOMPARE(recorder.texts.size(), 1);
    const QString shown = recorder.texts.at(0).text;
    QVERIFY2(shown.endsWith(QChar(0x2026)) && longName.startsWith(shown.chopped(1)), qPrintable(shown));
    QVERIFY(QFontMetrics(recorder.texts.at(0).font, &recorder).horizontalAdvance(shown) <= 256 - 93);

    // A short name stays whole.
    recorder.texts.clear();
    delegate()->paint(&painter, QStyleOptionViewItem(), m_box->model()->index(3, 0));
    QCOMPARE(recorder.texts.at(0).text, QStringLiteral("Server 3"));
}

void TestQVPNServerComboBoxItemDelegate::starAreaTogglesAndKeepsListOpen_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<bool>("onStar");
    QTest::newRow("left of the star") << 23 << false;
    QTest::newRow("star's left edge") << 24 << true;
    QTest::newRow("star's right edge") << 40 << true;
    QTest::newRow("right of the star") << 41 << false;
}

void TestQVPNServerComboBoxItemDelegate::starAreaTogglesAndKeepsListOpen()
{
    QFETCH(int, x);
    QFETCH(bool, onStar);
    QSignalSpy starToggled(m_box, &QVPNServerComboBox::starToggled);
    const QModelIndex index = m_box->model()->index(5, 0);
    auto release = [&] {
        QMouseEvent event(QEvent::MouseButtonRelease, QPointF(x, 41 * 5 + 40), Qt::LeftButton,
                          Qt::NoButton, Qt::NoModifier);
        event.setAccepted(!onStar); // the delegate must decide either way
        const bool handled = delegate()->editorEvent(&event, m_box->model(), QStyleOptionViewItem(), index);
        return handled && event.isAccepted() == onStar;
    };

    const QRect starArea(24, 41 * 5 + 10, 17, 17);
    const QImage unlit = paintRow(5, 41 * 6).copy(starArea);
    QVERIFY(release());
    if (!onStar) {
        QCOMPARE(m_box->currentIndex(), 5);
        QCOMPARE(m_box->currentServer().name, QStringLiteral("Server 5"));
        QCOMPARE(starToggled.count(), 0);
        QVERIFY(!index.data(Qt::CheckStateRole).isValid());
        return;
    }
    QCOMPARE(m_box->currentIndex(), 0);
    QCOMPARE(starToggled.count(), 1);
    QCOMPARE(index.data(Qt::CheckStateRole), QVariant(int(Qt::Checked)));
    QVERIFY(paintRow(5, 41 * 6).copy(starArea) != unlit);

    QVERIFY(release());
    QCOMPARE(starToggled.count(), 2);
    // Switched off, not removed: the row is no favourite but has a value.
    QCOMPARE(index.data(Qt::CheckStateRole), QVariant(int(Qt::Unchecked)));
    QVERIFY(paintRow(5, 41 * 6).copy(starArea) == unlit);
}

void TestQVPNServerComboBoxItemDelegate::onlyReleasesAreHandled()
{
    const QModelIndex index = m_box->model()->index(3, 0);
    for (QEvent::Type type : { QEvent::MouseButtonPress, QEvent::MouseButtonDblClick }) {
        QMouseEvent event(type, QPointF(30, 130), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QVERIFY(!delegate()->editorEvent(&event, m_box->model(), QStyleOptionViewItem(), index));
    }
    QKeyEvent key(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier);
    QVERIFY(!delegate()->editorEvent(&key, m_box->model(), QStyleOptionViewItem(), index));
    QCOMPARE(m_box->currentIndex(), 0);
    QVERIFY(!index.data(Qt::CheckStateRole).isValid());
}

QTEST_MAIN(TestQVPNServerComboBoxItemDelegate)
#include "tst_qvpnservercomboboxitemdelegate.moc"
