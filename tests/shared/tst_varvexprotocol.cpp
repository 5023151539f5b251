#include <QtTest>

#include "varvexprotocol.h"

class TestVarvexProtocol : public QObject
{
    Q_OBJECT

private:
    static QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

    static QList<QByteArray> readAll(VarvexFrameReader& reader, QList<int>* problems = nullptr)
    {
        QList<QByteArray> frames;
        QByteArray frame;
        for (;;) {
            const VarvexFrameReader::Result result = reader.next(&frame);
            if (result == VarvexFrameReader::NeedMore)
                break;
            if (result == VarvexFrameReader::Frame)
                frames << frame;
            else if (problems)
                *problems << result;
        }
        return frames;
    }

private slots:
    void buildsTheDocumentedFrames()
    {
        QCOMPARE(VarvexFrame::build(VARVEX_CMD_STATUS_REQUEST), hex("01040102"));
        QCOMPARE(VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REQUEST), hex("01040902"));
        QCOMPARE(VarvexFrame::build(VARVEX_CMD_LOGIN_FAILED), hex("01040F02"));
        QCOMPARE(VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, hex("03")), hex("01050D0302"));

        QByteArray bandwidth = hex("00");
        VarvexFrame::appendUInt32(bandwidth, 1000);
        VarvexFrame::appendUInt32(bandwidth, 256);
        QCOMPARE(VarvexFrame::build(VARVEX_CMD_BANDWIDTH_UPDATE, bandwidth), hex("010D0E00E803000000010000" "02"));

        QByteArray connected = hex("01");
        QVERIFY(VarvexFrame::appendField(connected, "10.8.0.6"));
        VarvexFrame::appendUInt32(connected, 0x11223344);
        const QByteArray frame = VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, connected);
        QCOMPARE(frame, hex("01120D0108") + "10.8.0.6" + hex("4433221102"));
        QCOMPARE(VarvexFrame::readUInt32(frame, 13), 0x11223344u);
    }

    void largestFrameStillFitsTheLengthByte()
    {
        const QByteArray frame = VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REPLY, QByteArray(251, 'x'));
        QCOMPARE(frame.size(), 255);
        QCOMPARE(quint8(frame.at(1)), quint8(255));
        QVERIFY(VarvexFrame::fits(251));
        QVERIFY(!VarvexFrame::fits(252));

        QByteArray payload;
        QVERIFY(!VarvexFrame::appendField(payload, QByteArray(256, 'x')));
        QVERIFY(payload.isEmpty());
    }

    void takesFieldsAndToleratesShortPayloads()
    {
        QByteArray payload = hex("03") + "abc" + hex("05") + "xy";
        QCOMPARE(VarvexFrame::takeField(payload), QByteArray("abc"));
        QCOMPARE(VarvexFrame::takeField(payload), QByteArray("xy")); // fewer bytes than announced
        QVERIFY(payload.isEmpty());
        QCOMPARE(VarvexFrame::takeField(payload), QByteArray());     // nothing left: empty field

        QByteArray emptyHost = hex("00") + hex("02") + "ab" + "trailing";
        QCOMPARE(VarvexFrame::takeField(emptyHost), QByteArray());
        QCOMPARE(VarvexFrame::takeField(emptyHost), QByteArray("ab"));
    }

    void readsFramesAcrossArbitrarySplits()
    {
        QByteArray stream = VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, hex("03"));
        QByteArray withMarkers;
        QVERIFY(VarvexFrame::appendField(withMarkers, hex("0102010202")));
        stream += VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REPLY, withMarkers);
        stream += VarvexFrame::build(VARVEX_CMD_LOGIN_FAILED);

        for (int chunk = 1; chunk <= stream.size(); ++chunk) {
            VarvexFrameReader reader;
            QList<QByteArray> frames;
            for (int i = 0; i < stream.size(); i += chunk) {
                reader.append(stream.mid(i, chunk));
                frames += readAll(reader);
            }
            QCOMPARE(frames.size(), 3);
            QCOMPARE(frames.at(0), hex("01050D0302"));
            QCOMPARE(frames.at(1).mid(3, 6), hex("050102010202"));
            QCOMPARE(frames.at(2), hex("01040F02"));
            QCOMPARE(reader.bufferedSize(), 0);
        }
    }

    void dropsFramesWithWrongMarkersAndKeepsGoing()
    {
        VarvexFrameReader reader;
        reader.append(hex("FF040102") + hex("010401FF") + hex("01040F02"));
        QList<int> problems;
        const QList<QByteArray> frames = readAll(reader, &problems);
        QCOMPARE(problems, (QList<int>{VarvexFrameReader::BadStart, VarvexFrameReader::BadEnd}));
        QCOMPARE(frames, QList<QByteArray>{hex("01040F02")});
    }

    void tooShortLengthMakesProgress()
    {
        VarvexFrameReader reader;
        reader.append(hex("01020D0302") + hex("01040F02"));
        QByteArray frame;
        QCOMPARE(reader.next(&frame), VarvexFrameReader::TooShort);
        QCOMPARE(reader.next(&frame), VarvexFrameReader::NeedMore);
        QCOMPARE(reader.bufferedSize(), 0);

        // The reader is usable again afterwards.
        reader.append(hex("01040F02"));
        QCOMPARE(reader.next(&frame), VarvexFrameReader::Frame);
        QCOMPARE(frame, hex("01040F02"));
    }

    void incompleteFrameWaits()
    {
        VarvexFrameReader reader;
        reader.append(hex("010D0E00"));
        QByteArray frame;
        QCOMPARE(reader.next(&frame), VarvexFrameReader::NeedMore);
        QCOMPARE(reader.bufferedSize(), 4);
        reader.append(hex("E803000000010000"));
        QCOMPARE(reader.next(&frame), VarvexFrameReader::NeedMore);
        reader.append(hex("02"));
        QCOMPARE(reader.next(&frame), VarvexFrameReader::Frame);
        QCOMPARE(frame.size(), 13);
    }

    void largeBurstIsReadCompletely()
    {
        const QByteArray one = VarvexFrame::build(VARVEX_CMD_STATUS_REQUEST);
        const int count = 100000;
        QByteArray burst;
        burst.reserve(one.size() * count);
        for (int i = 0; i < count; ++i)
            burst += one;
        VarvexFrameReader reader;
        reader.append(burst.left(burst.size() / 2 + 1));
        int frames = readAll(reader).size();
        reader.append(burst.mid(burst.size() / 2 + 1));
        frames += readAll(reader).size();
        QCOMPARE(frames, count);
        QCOMPARE(reader.bufferedSize(), 0);
    }
};

QTEST_GUILESS_MAIN(TestVarvexProtocol)
#include "tst_varvexprotocol.moc"
