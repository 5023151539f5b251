// Every image the client refers to must be compiled in, decodable and of
// the size its widget is laid out for.
#include <QtTest>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowImages_data();
    void windowImages();
    void trayIcons_data();
    void trayIcons();
    void trayStatesDifferAtSmallestSize();
    void sectionIconsHaveDistinctDisabledForm_data();
    void sectionIconsHaveDistinctDisabledForm();
    void flags();
    void unknownFlagLoadsNothing();
    void linkedFontsRegister();
    void linkFontsWithoutPackageFails();

private:
    static QStringList flagCodes();
};

// Counts the image's colours, stopping once `enough` have been seen.
static int distinctColours(const QImage &source, int enough)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    QSet<QRgb> colours;
    for (int y = 0; y < image.height() && colours.size() < enough; ++y)
        for (int x = 0; x < image.width() && colours.size() < enough; ++x)
            colours.insert(image.pixel(x, y));
    return colours.size();
}

void TestResources::initTestCase()
{
    Q_INIT_RESOURCE(varvex);
    QVERIFY2(QImageReader::supportedImageFormats().contains("ico"),
             "the ico image plugin is needed for the tray icons");
}

void TestResources::windowImages_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");

    const struct { const char *path; int width, height; } images[] = {
        { ":/imgs/title-background.png", 344, 48 },
        { ":/imgs/title-logo.png", 136, 27 },
        { ":/imgs/logo-with-text.png", 300, 90 },
        { ":/imgs/window-minimize.png", 12, 12 },
        { ":/imgs/window-hide.png", 12, 12 },
        { ":/imgs/login-user.png", 24, 24 },
        { ":/imgs/login-lock.png", 24, 24 },
        { ":/imgs/encryption.png", 24, 24 },
        { ":/imgs/encryption-disabled.png", 24, 24 },
        { ":/imgs/clock.png", 24, 24 },
        { ":/imgs/clock-disabled.png", 24, 24 },
        { ":/imgs/key.png", 24, 24 },
        { ":/imgs/key-disabled.png", 24, 24 },
        { ":/imgs/star.png", 19, 19 },
        { ":/imgs/star-lit.png", 19, 19 },
        { ":/imgs/choose-server-combo-button.png", 58, 62 },
        { ":/imgs/flags/location_pin_fill.png", 320, 512 },
    };
    for (const auto &image : images)
        QTest::newRow(image.path) << QString::fromLatin1(image.path) << QSize(image.width, image.height);
}

void TestResources::windowImages()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);

    QPixmap pixmap(path);
    QVERIFY2(!pixmap.isNull(), qPrintable(path + " does not load"));
    QCOMPARE(pixmap.size(), size);

    // A blank image would load fine and still show nothing.
    QVERIFY2(distinctColours(pixmap.toImage(), 2) >= 2, qPrintable(path + " is a single colour"));
}

void TestResources::trayIcons_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("off") << ":/imgs/tray/tray_off.ico";
    QTest::newRow("on") << ":/imgs/tray/tray_on.ico";
    QTest::newRow("connect") << ":/imgs/tray/tray_connect.ico";
}

void TestResources::trayIcons()
{
    QFETCH(QString, path);

    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("ico"));
    QCOMPARE(reader.imageCount(), 6);

    QList<int> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(QString("%1: image %2: %3").arg(path).arg(i).arg(reader.errorString())));
        QCOMPARE(image.width(), image.height());
        QVERIFY2(image.hasAlphaChannel(), "tray icons need a transparent background");
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QVERIFY2(qAlpha(image.pixel(image.width() / 2, image.height() / 2)) > 0, "the icon is empty");
        sizes << image.width();
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, (QList<int>{ 16, 32, 48, 64, 128, 256 }));

    // What the tray actually does with it.
    const QIcon icon(path);
    QCOMPARE(icon.availableSizes().size(), 6);
    QCOMPARE(icon.pixmap(16, 16).size(), QSize(16, 16));
}

static QImage iconAt(const QString &path, int size)
{
    QImageReader reader(path);
    for (int i = 0; i < reader.imageCount(); ++i) {
        reader.jumpToImage(i);
        const QImage image = reader.read();
        if (image.width() == size)
            return image.convertToFormat(QImage::Format_ARGB32);
    }
    return QImage();
}

static QColor averageOpaqueColour(const QImage &image)
{
    qint64 r = 0, g = 0, b = 0, n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) < 255)
                continue;
            r += qRed(pixel);
            g += qGreen(pixel);
            b += qBlue(pixel);
            ++n;
        }
    return n ? QColor(r / n, g / n, b / n) : QColor();
}

// The state must be readable from the 16 pixel image alone.
void TestResources::trayStatesDifferAtSmallestSize()
{
    const QColor off = averageOpaqueColour(iconAt(":/imgs/tray/tray_off.ico", 16));
    const QColor connect = averageOpaqueColour(iconAt(":/imgs/tray/tray_connect.ico", 16));
    const QColor on = averageOpaqueColour(iconAt(":/imgs/tray/tray_on.ico", 16));
    QVERIFY(off.isValid() && connect.isValid() && on.isValid());

    QVERIFY2(off.hsvSaturation() < 60, "the off icon should be grey");
    QVERIFY2(connect.hsvSaturation() > 120 && connect.hue() >= 30 && connect.hue() <= 55, "connecting should be amber");
    QVERIFY2(on.hsvSaturation() > 120 && on.hue() >= 180 && on.hue() <= 220, "connected should be blue");
}

void TestResources::sectionIconsHaveDistinctDisabledForm_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("encryption") << "encryption";
    QTest::newRow("clock") << "clock";
    QTest::newRow("key") << "key";
}

// Connected and not connected must look different: coloured versus grey.
void TestResources::sectionIconsHaveDistinctDisabledForm()
{
    QFETCH(QString, name);
    const QColor enabled = averageOpaqueColour(QImage(":/imgs/" + name + ".png"));
    const QColor disabled = averageOpaqueColour(QImage(":/imgs/" + name + "-disabled.png"));
    QVERIFY(enabled.isValid() && disabled.isValid());
    QVERIFY(enabled.hsvSaturation() > 150);
    QVERIFY(disabled.hsvSaturation() < 40);
}

QStringList TestResources::flagCodes()
{
    return QString("AD AF AG AI AL AM AO AR AS AT AU AW AZ BA BB BD BE BF BG BH BI BJ BM BN BO BR "
                   "BS BT BW BY BZ CA CD CF CG CH CI CK CL CM CN CO CR CU CV CX CY CZ DE DJ DK DM "
                   "DO DZ EC EE EG ER ES ET FI FJ FK FM FO FR GA GD GE GH GI GL GM GN GP GQ GR GS "
                   "GU GW GY HK HN HR HT HU ID IE IL IN IQ IR IS IT JM JO JP KE KG KH KI KM KN KP "
                   "KR KW KY KZ LA LB LC LI LK LR LS LT LU LV LY MA MC MD MG MH MK ML MM MN MO MQ "
                   "MR MS MT MU MV MW MX MY MZ NA NE NF NG NI NL NO NP NR NU NZ OM PA PE PF PG PH "
                   "PK PL PM PN PR PT PW PY QA RO RS RU RW SA SB SC SD SE SG SI SK SL SM SN SO SR "
                   "ST SV SY SZ TC TD TG TH TJ TL TM TN TO TR TT TV TW TZ UA UG UK US UY UZ VA VC "
                   "VE VG VI VN VU WF WS YE ZA ZM ZW")
        .split(' ');
}

void TestResources::flags()
{
    const QStringList codes = flagCodes();
    QCOMPARE(codes.size(), 219);
    QVERIFY(!codes.contains("GB"));

    for (const QString &code : codes) {
        const QString path = ":/imgs/flags/" + code + ".png";
        const QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path + " does not load"));
        QCOMPARE(image.size(), QSize(32, 23));
        // A failed render leaves a blank image; every real flag has a design.
        QVERIFY2(distinctColours(image, 3) >= 3, qPrintable(path + " is blank"));
    }

    const QImage automatic(":/imgs/flags/auto.png");
    QVERIFY(!automatic.isNull());
    QCOMPARE(automatic.size(), QSize(32, 33));
}

// The list draws nothing for a code without an image; it must not find one.
void TestResources::unknownFlagLoadsNothing()
{
    QVERIFY(QImage(":/imgs/flags/GB.png").isNull());
    QVERIFY(QImage(":/imgs/flags/.png").isNull());
    QVERIFY(QImage(":/imgs/flags/ad.png").isNull());
}

static QString linkFontsScript()
{
    return qEnvironmentVariable("VARVEX_SOURCE_DIR", QStringLiteral(VARVEX_TEST_SOURCE_DIR))
        + "/scripts/link-fonts.sh";
}

static int runLinkFonts(const QString &folder, const QString &fontsDir = QString())
{
    QProcess process;
    if (!fontsDir.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VARVEX_ROBOTO_DIR", fontsDir);
        process.setProcessEnvironment(environment);
    }
    process.start("bash", { linkFontsScript(), folder });
    if (!process.waitForFinished(30000))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// The client registers every *.ttf of its Fonts folder and stops on the
// first one that fails, so each link must lead to a real font.
void TestResources::linkedFontsRegister()
{
    if (!QFileInfo::exists("/usr/share/fonts/truetype/roboto/unhinted"))
        QSKIP("fonts-roboto-unhinted is not installed");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fonts = dir.filePath("Fonts");
    QCOMPARE(runLinkFonts(fonts), 0);
    // A second run over existing links must succeed as well.
    QCOMPARE(runLinkFonts(fonts), 0);

    const QFileInfoList files = QDir(fonts).entryInfoList({ "*.ttf" });
    QVERIFY(files.size() >= 2);
    QSet<QString> families;
    QList<int> ids;
    for (const QFileInfo &file : files) {
        const int id = QFontDatabase::addApplicationFont(file.absoluteFilePath());
        QVERIFY2(id != -1, qPrintable(file.fileName() + " does not register"));
        ids << id;
        for (const QString &family : QFontDatabase::applicationFontFamilies(id))
            families.insert(family);
    }
    QVERIFY(families.contains("Roboto"));
    QVERIFY(families.contains("Roboto Condensed"));
    for (int id : ids)
        QFontDatabase::removeApplicationFont(id);
}

void TestResources::linkFontsWithoutPackageFails()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(runLinkFonts(dir.filePath("Fonts"), dir.filePath("no-such-folder")), 1);
    QVERIFY(!QFileInfo::exists(dir.filePath("Fonts")));
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
