#include <QtTest>

#include "qvpncredentialscrypt.h"
#include "varvexlog.h"

class TestQVPNCredentialsCrypt : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

    QString logText() const
    {
        QFile file(currentLogPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static QByteArray scramble(const QByteArray& plain)
    {
        QByteArray out = plain;
        for (char& c : out) {
            const quint8 b = quint8(c);
            c = char(quint8((b << 2) | (b >> 6)) ^ 0x6C);
        }
        return out.toBase64();
    }

private slots:
    void initTestCase()
    {
        // Debug lines go to <folder holding home>/<app>.log: keep them in a private place.
        QVERIFY(m_home.isValid());
        QDir(m_home.path()).mkpath(QStringLiteral("home"));
        qputenv("HOME", QFile::encodeName(m_home.path() + QStringLiteral("/home")));
        setupLog(LOG_INFORMATION, false);
    }

    void init()
    {
        QFile::remove(currentLogPath());
        setupLog(LOG_INFORMATION, false);
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("password");
        QTest::newRow("ascii") << "alice" << "s3cret!";
        QTest::newRow("one byte each") << "a" << "b";
        QTest::newRow("non-ascii") << QStringLiteral("j\u00fcrgen") << QStringLiteral("\u043f\u0430\u0440\u043e\u043b\u044c\u2603");
        QTest::newRow("255 bytes each") << QString(255, QLatin1Char('u')) << QString(255, QLatin1Char('p'));
        QTest::newRow("marker bytes") << QStringLiteral("\u0001\u0002") << QStringLiteral("=/+");
        QTest::newRow("NUL bytes") << QString::fromLatin1("\0ab", 3) << QString::fromLatin1("x\0", 2);
    }

    void roundTrip()
    {
        QFETCH(QString, username);
        QFETCH(QString, password);
        const QByteArray text = QVPNCredentialsCrypt::encodeUserPass(username, password);
        QString user, pass;
        QVERIFY(QVPNCredentialsCrypt::decodeUserPass(QString::fromLatin1(text), user, pass));
        QCOMPARE(user, username);
        QCOMPARE(pass, password);
    }

    void encodesTheDocumentedLayout()
    {
        const QByteArray plain = QByteArray("\x02") + "ab" + QByteArray("\x01") + "c";
        QCOMPARE(QVPNCredentialsCrypt::encodeUserPass("ab", "c"), scramble(plain));
    }

    void rejectsMalformedText_data()
    {
        QTest::addColumn<QString>("blob");
        QTest::addColumn<QString>("check");
        QTest::newRow("empty") << QString() << "tmp.length()";
        QTest::newRow("not base64") << "!!!***" << "tmp.length()";
        QTest::newRow("empty username") << QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass("", "pw")) << "usize == 0";
        QTest::newRow("empty password") << QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass("me", "")) << "psize == 0";
        QTest::newRow("username cut") << QString::fromLatin1(scramble(QByteArray("\x05") + "ab")) << "usernameBA.length() != usize";
        QTest::newRow("no password byte") << QString::fromLatin1(scramble(QByteArray("\x02") + "ab")) << "psize == 0";
        QTest::newRow("byte too few") << QString::fromLatin1(scramble(QByteArray("\x02") + "ab" + QByteArray("\x03") + "cd")) << "passwordBA.length() != psize";
        QTest::newRow("byte too many") << QString::fromLatin1(scramble(QByteArray("\x02") + "ab" + QByteArray("\x01") + "cX")) << "tmp.length() > 0";
        QTest::newRow("over 255 bytes") << QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass(QString(256, QLatin1Char('u')), "p")) << "usize == 0";
    }

    void rejectsMalformedText()
    {
        QFETCH(QString, blob);
        QFETCH(QString, check);
        QString user = QStringLiteral("kept-user");
        QString pass = QStringLiteral("kept-pass");
        QVERIFY(!QVPNCredentialsCrypt::decodeUserPass(blob, user, pass));
        QCOMPARE(user, QStringLiteral("kept-user"));
        QCOMPARE(pass, QStringLiteral("kept-pass"));
        QVERIFY2(logText().contains(QStringLiteral("Debug: decodeUserPass - ") + check + QStringLiteral("\r\n")), qPrintable(logText()));
    }
};

QTEST_GUILESS_MAIN(TestQVPNCredentialsCrypt)
#include "tst_qvpncredentialscrypt.moc"
