#include <QtTest>
#include <QAbstractItemView>

#include "pixelcheck.h"
#include "qpingservice.h"
#include "qvpnservercombobox.h"
#include "qvpnservercomboboxitemdelegate.h"

using namespace PixelCheck;

class TestQVPNServerComboBox : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void construction();
    void rowsFromTheList();
    void firstServerBecomesCurrent();
    void emptyListKeepsCurrentServer();
    void favourites();
    void rowsAndServersByName();
    void pressAreas();
    void closedBoxPainting();
    void sweepPingsEachHostOnceOneAtATime();
    void sweepThroughTheWorkerThread();
    void noPingPossibleSaysWhy();

private:
    static VPNServerInfo server(const QString& name, const QString& host)
    {
        return VPNServerInfo { name, QStringLiteral("US"), host };
    }
    static QVariantMap rowData(const QVPNServerComboBox& box, int row)
    {
        return box.itemData(row, Qt::UserRole).toMap();
    }
    // Keeps the real ping service out, so the test answers the requests itself.
    static void detachPingService(QVPNServerComboBox& box)
    {
        QObject::disconnect(&box, SIGNAL(pingHost(QString)), nullptr, nullptr);
    }
};

void TestQVPNServerComboBox::initTestCase()
{
    Q_INIT_RESOURCE(varvex);
}

void TestQVPNServerComboBox::construction()
{
    QVPNServerComboBox box(nullptr);
    QCOMPARE(box.maxVisibleItems(), 6);
    QCOMPARE(box.styleSheet(),
             QStringLiteral("QScrollBar:vertical {border: 1px solid #55b7e5; background: white; width: 5px; "
                            "margin: 0px 0px 0px 0px} QScrollBar::handle:vertical {border: none; background: "
                            "#55b7e5} QScrollBar::up-arrow:vertical, QScrollBar::down-arrow:vertical "
                            "{background: red; height: 50px} QScrollBar::add-line, QScrollBar::sub-line "
                            "{height: 0px; background: white}"));
    auto* delegate = qobject_cast<QVPNServerComboBoxItemDelegate*>(box.itemDelegate());
    QVERIFY(delegate);
    QCOMPARE(delegate->parent(), &box);
    QCOMPARE(box.currentServer(), VPNServerInfo());
}

void TestQVPNServerComboBox::rowsFromTheList()
{
    QVPNServerComboBox box(nullptr);
    detachPingService(box);
    box.setServerList({ server("A", "a.invalid"), VPNServerInfo { "Auto", "auto", "auto.invalid" } });
    box.setServerList({ server("B", "b.invalid"), VPNServerInfo { "Auto", "auto", "auto.invalid" } });
    QCOMPARE(box.count(), 2);
    const QVariantMap expected { { "name", "Auto" }, { "code", "auto" }, { "hostname", "auto.invalid" } };
    QCOMPARE(rowData(box, 1), expected);
    QCOMPARE(box.model()->flags(box.model()->index(0, 0)), Qt::ItemFlags(Qt::ItemIsUserCheckable));
    QVERIFY(!box.model()->data(box.model()->index(0, 0), Qt::CheckStateRole).isValid());
    QVERIFY(box.itemText(0).isEmpty());
}

void TestQVPNServerComboBox::firstServerBecomesCurrent()
{
    QVPNServerComboBox box(nullptr);
    detachPingService(box);
    box.setCurrentServer(server("Stored", "stored.invalid"));
    QCOMPARE(box.currentServer(), server("Stored", "stored.invalid"));

    box.setServerList({ server("A", "a.invalid"), server("B", "b.invalid"), server("C", "c.invalid") });
    QCOMPARE(box.currentServer(), server("A", "a.invalid"));
    box.setCurrentIndex(2);
    QCOMPARE(box.currentServer(), server("C", "c.invalid"));
    box.setCurrentIndex(-1);
    QCOMPARE(box.currentServer(), server("C", "c.invalid"));

    // A new list makes its own first entry current, even where the index was already 0.
    box.setCurrentIndex(0);
    box.setServerList({ server("X", "x.invalid"), server("Y", "y.invalid") });
    QCOMPARE(box.currentIndex(), 0);
    QCOMPARE(box.currentServer(), server("X", "x.invalid"));
    box.setServerList({ server("Only", "only.invalid") });
    QCOMPARE(box.currentServer(), server("Only", "only.invalid"));
}

void TestQVPNServerComboBox::emptyListKeepsCurrentServer()
{
    QVPNServerComboBox box(nullptr);
    detachPingService(box);
    box.setServerList({ server("A", "a.invalid"), server("B", "b.invalid") });
    box.setCurrentIndex(1);
    box.setServerList({});
    QCOMPARE(box.count(), 0);
    QCOMPARE(box.currentServer(), server("B", "b.invalid"));
}

// What the window asks of the rows: a server's row by name (a duplicate
// name finds the first), the server of a row, and the starred names in
// row order, whatever order they were starred in.
void TestQVPNServerComboBox::rowsAndServersByName()
{
    QVPNServerComboBox box(nullptr);
    detachPingService(box);
    QCOMPARE(box.rowOfServer("A"), -1);
    box.setServerList({ server("A", "a.invalid"), server("B", "b.invalid"), server("A", "a2.invalid") });
    QCOMPARE(box.rowOfServer("B"), 1);
    QCOMPARE(box.rowOfServer("A"), 0);
    QCOMPARE(box.rowOfServer("a"), -1);
    QCOMPARE(box.serverOfRow(2), server("A", "a2.invalid"));
    QCOMPARE(box.serverOfRow(-1), VPNServerInfo());
    QCOMPARE(box.favoriteNames(), QStringList());
    box.setFavorites("B,A");
    QCOMPARE(box.favoriteNames(), (QStringList { "A", "B", "A" }));
}

void TestQVPNServerComboBox::favourites()
{
    QVPNServerComboBox box(nullptr);
    detachPingService(box);
    box.setServerList({ server("A", "a"), server("", "e"), server("B", "b"), server("C", "c"), server("b", "b2") });
    auto starred = [&box] {
        QStringList names;
        for (int row = 0; row < box.count(); ++row)
            if (box.model()->data(box.model()->index(row, 0), Qt::CheckStateRole).toInt() == Qt::Checked)
                names << rowData(box, row).value("name").toString();
        return names;
    };
    box.setFavorites("");
    QCOMPARE(starred(), QStringList { "" });
    box.setFavorites("C,,Unknown");
    QCOMPARE(starred(), (QStringList { "", "C" }));
    // Adds only; case matters.
    box.setFavorites("B");
    QCOMPARE(starred(), (QStringList { "", "B", "C" }));
}

void TestQVPNServerComboBox::pressAreas()
{
    QVPNServerComboBox box(nullptr);
    detachPingService(box);
    box.setServerList({ server("A", "a.invalid"), server("B", "b.invalid") });
    box.resize(300, 68);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QSignalSpy pressed(&box, &QVPNServerComboBox::pressed);

    QTest::mousePress(&box, Qt::LeftButton, Qt::NoModifier, QPoint(300 - 75, 30));
    QCOMPARE(pressed.count(), 1);
    QVERIFY(!box.view()->isVisible());
    QTest::mouseRelease(&box, Qt::LeftButton, Qt::NoModifier, QPoint(300 - 75, 30));
    QVERIFY(!box.view()->isVisible());

    QTest::mousePress(&box, Qt::LeftButton, Qt::NoModifier, QPoint(300 - 74, 30));
    QCOMPARE(pressed.count(), 1);
    QVERIFY(box.view()->isVisible());

    // The list grabs the mouse: the release of the press that opened it must
    // leave it open; a later click outside the rows closes it.
    QWidget* container = box.view()->parentWidget();
    QTest::mouseRelease(container, Qt::LeftButton, Qt::NoModifier, QPoint(1, 1));
    QVERIFY(box.view()->isVisible());
    QTest::mouseClick(container, Qt::LeftButton, Qt::NoModifier, QPoint(1, 1));
    QVERIFY(!box.view()->isVisible());
}

void TestQVPNServerComboBox::closedBoxPainting()
{
    QVPNServerComboBox box(nullptr);
    detachPingService(box);
    box.resize(300, 68);
    box.setCurrentServer(server("Somewhere", "s.invalid"));
    const QImage image = box.grab().toImage();
    const QColor connect(66, 176, 227), list(84, 183, 229), divider(43, 134, 175);

    QCOMPARE(at(image, 5, 34), connect);
    QCOMPARE(at(image, 224, 2), connect);
    QCOMPARE(at(image, 225, 0), divider);
    QCOMPARE(at(image, 225, 67), divider);
    QCOMPARE(at(image, 226, 2), list);
    QCOMPARE(at(image, 289, 66), list);
    QCOMPARE(at(image, 295, 34), list);
    QVERIFY(areaHas(image, QRect(0, 10, 225, 28), Qt::white, 0));
    QVERIFY(areaHas(image, QRect(0, 40, 225, 25), QColor(1, 67, 97), 4));
    // Nothing of the text reaches the right part.
    QVERIFY(!areaHas(image, QRect(226, 0, 8, 68), Qt::white, 40));

    // Only the two texts, each in its own font and colour; the image sits
    // at the left of the right part.
    PaintRecorder recorder(box.size());
    box.render(&recorder);
    QCOMPARE(recorder.texts.size(), 2);
    QCOMPARE(recorder.texts.at(0).text, QStringLiteral("Connect"));
    QCOMPARE(recorder.texts.at(0).pen, QColor(Qt::white));
    QCOMPARE(recorder.texts.at(0).font.pointSize(), 20);
    QCOMPARE(recorder.texts.at(0).font.weight(), 50);
    QCOMPARE(recorder.texts.at(1).text, QStringLiteral("Somewhere"));
    QCOMPARE(recorder.texts.at(1).pen, QColor(1, 67, 97));
    QCOMPARE(recorder.texts.at(1).font.pointSize(), 10);
    QCOMPARE(recorder.texts.at(1).font.weight(), 75);
    for (const PaintRecorder::Text& text : recorder.texts) {
        QCOMPARE(text.font.family(), QStringLiteral("Roboto"));
        QVERIFY(text.origin.x() > 0 && text.origin.x() < 225);
    }
    QCOMPARE(recorder.images.size(), 1);
    QCOMPARE(recorder.images.at(0).target, QRectF(300 - 66, 5, 58, 62));
}

void TestQVPNServerComboBox::sweepPingsEachHostOnceOneAtATime()
{
    QVPNServerComboBox box(nullptr);
    detachPingService(box);
    QSignalSpy requests(&box, &QVPNServerComboBox::pingHost);
    auto answer = [&box](const QString& host, int latency) {
        QVERIFY(QMetaObject::invokeMethod(&box, "pingResult", Q_ARG(QString, host), Q_ARG(int, latency)));
    };

    box.setServerList({ server("A", "shared.invalid"), server("B", "b.invalid"), server("C", "shared.invalid") });
    QCoreApplication::processEvents();
    QCOMPARE(requests.count(), 0); // paced: the first request waits its turn
    QVERIFY(requests.wait(2000));
    QCOMPARE(requests.last().at(0).toString(), QStringLiteral("shared.invalid"));
    QVERIFY(!requests.wait(700)); // nothing more while that answer is outstanding

    answer("shared.invalid", 150);
    QCOMPARE(rowData(box, 0).value("ping"), QVariant(150));
    QCOMPARE(rowData(box, 2).value("ping"), QVariant(150));
    QVERIFY(!rowData(box, 1).contains("ping"));
    QVERIFY(requests.wait(2000));
    QCOMPARE(requests.count(), 2);
    QCOMPARE(requests.last().at(0).toString(), QStringLiteral("b.invalid"));

    // An answer no row asked for changes nothing but keeps the sweep going.
    answer("gone.invalid", 5);
    QVERIFY(requests.wait(2000));
    QCOMPARE(requests.last().at(0).toString(), QStringLiteral("b.invalid"));
    QCOMPARE(rowData(box, 0).value("ping"), QVariant(150));

    answer("b.invalid", -1);
    QCOMPARE(rowData(box, 1).value("ping"), QVariant(-1));
    QVERIFY(!requests.wait(700)); // every row measured: the sweep is over
    QCOMPARE(requests.count(), 3);
}

void TestQVPNServerComboBox::sweepThroughTheWorkerThread()
{
    QVPNServerComboBox box(nullptr);
    box.setServerList({ server("Nowhere", "nowhere.invalid") });
    QTRY_COMPARE_WITH_TIMEOUT(rowData(box, 0).value("ping"), QVariant(-1), 5000);
}

// Where no ICMP socket is allowed the rows say why they show "---",
// including rows of a list that arrives later; the sweep goes on as before.
void TestQVPNServerComboBox::noPingPossibleSaysWhy()
{
    QVPNServerComboBox box(nullptr);
    detachPingService(box);
    box.setServerList({ server("A", "a.invalid"), server("B", "b.invalid") });
    QVERIFY(box.itemData(0, Qt::ToolTipRole).toString().isEmpty());
    QVERIFY(QMetaObject::invokeMethod(&box, "pingUnavailable"));
    const QString reason = QPingService::unavailableReason();
    QCOMPARE(box.toolTip(), reason);
    QCOMPARE(box.itemData(0, Qt::ToolTipRole).toString(), reason);
    QCOMPARE(box.itemData(1, Qt::ToolTipRole).toString(), reason);
    QVERIFY(QMetaObject::invokeMethod(&box, "pingResult", Q_ARG(QString, "a.invalid"), Q_ARG(int, -1)));
    QCOMPARE(rowData(box, 0).value("ping"), QVariant(-1));

    box.setServerList({ server("C", "c.invalid") });
    QCOMPARE(box.itemData(0, Qt::ToolTipRole).toString(), reason);
    QCOMPARE(rowData(box, 0).value("name"), QVariant("C"));
}

QTEST_MAIN(TestQVPNServerComboBox)
#include "tst_qvpnservercombobox.moc"
