#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "host_testcertificates.h"
#include "qvpncertificate.h"
#include "recordinghttpserver.h"
#include "testcertificates.h"
#include "varvexlog.h"

namespace {

const QByteArray kPublished = testCertificateA();
const QByteArray kOld = testCertificateB();

QByteArray sha1Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex();
}

QByteArray infoAnswer(const QByteArray& hash)
{
    return "{\"hash\":\"" + hash + "\"}";
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestQVPNCertificate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase() { cleanup(); }

    void missingFileIsDownloaded();
    void currentFileIsKept_data();
    void currentFileIsKept();
    void differentHashDownloads();
    void failedDownloadLeavesFileWhole_data();
    void failedDownloadLeavesFileWhole();
    void failedCheckDownloadsNothing_data();
    void failedCheckDownloadsNothing();
    void unwritableFolderReportsOpenError();
    void overlappingChecksNeverWriteAnswersToFile_data();
    void overlappingChecksNeverWriteAnswersToFile();
    void badBodiesLeaveFileByteForByte_data();
    void badBodiesLeaveFileByteForByte();
    void certificateBundleIsAccepted();
    void hungWebApiTimesOutAndNextCheckStartsAfresh();
    void simultaneousChecksShareOneRequest();
    void onlyAVerifiedServerChangesTheFile_data();
    void onlyAVerifiedServerChangesTheFile();

private:
    QByteArray testFile(const QString& name) const { return readAll(m_certificates.path() + QLatin1Char('/') + name); }
    QTemporaryDir m_certificates;
    void writeCertificate(const QByteArray& content);
    bool runCheck(QVPNCertificate& certificate, int expectedFinishes = 1);
    QString newLog() const;
    // The new log lines without their time stamps.
    QStringList newLogMessages() const;

    QTemporaryDir* m_dir = nullptr;
    RecordingHttpServer* m_api = nullptr;
    QString m_path;
    qint64 m_logStart = 0;
    QList<bool> m_results;
};

void TestQVPNCertificate::initTestCase()
{
    setupLog(LOG_INFORMATION, true);
    writeLog(QStringLiteral("test start"), LOG_INFORMATION);
    QVERIFY(m_certificates.isValid());
    const QString error = makeTestCertificates(m_certificates.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestQVPNCertificate::init()
{
    cleanup(); // a failed init is not followed by cleanup
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("bin")));
    m_path = m_dir->path() + QStringLiteral("/bin/ca.crt");
    m_api = new RecordingHttpServer;
    QVERIFY(m_api->start());
    qputenv("VARVEX_API_HOST", m_api->hostAndPort().toLatin1());
    m_logStart = QFileInfo(currentLogPath()).size();
    m_results.clear();
}

void TestQVPNCertificate::cleanup()
{
    delete m_api;
    m_api = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

void TestQVPNCertificate::writeCertificate(const QByteArray& content)
{
    QFile file(m_path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

bool TestQVPNCertificate::runCheck(QVPNCertificate& certificate, int expectedFinishes)
{
    connect(&certificate, &QVPNCertificate::updateFinish, this, [this](bool ok) { m_results << ok; });
    certificate.updateCertificate();
    return QTest::qWaitFor([&] { return m_results.size() >= expectedFinishes; }, 5000);
}

QString TestQVPNCertificate::newLog() const
{
    QFile file(currentLogPath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    file.seek(m_logStart);
    return QString::fromUtf8(file.readAll());
}

QStringList TestQVPNCertificate::newLogMessages() const
{
    QStringList messages;
    for (const QString& line : newLog().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        messages << line.mid(line.indexOf(QStringLiteral(" - ")) + 3);
    return messages;
}

void TestQVPNCertificate::missingFileIsDownloaded()
{
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, kPublished);
    QVPNCertificate certificate(m_path, nullptr);
    QVERIFY(runCheck(certificate));

    QCOMPARE(m_results, QList<bool>{true});
    QCOMPARE(readAll(m_path), kPublished);
    QCOMPARE(m_api->requests, QStringList{QStringLiteral("/get_ca/3b9e07c1d52a48f6e0b7c19d4a62f85e")});
    QCOMPARE(newLogMessages(), (QStringList{QStringLiteral("Information: QVPNCertificate"),
                                            QStringLiteral("Information: updateCertificate"),
                                            QStringLiteral("Warning: Certificate does't exists. Create it!"),
                                            QStringLiteral("Information: updateCerfiticateFile"),
                                            QStringLiteral("Information: http_finished")}));
}

void TestQVPNCertificate::currentFileIsKept_data()
{
    QTest::addColumn<QByteArray>("publishedHash");
    QTest::newRow("lower case") << sha1Hex(kPublished);
    // The same digest written in capitals names the same file.
    QTest::newRow("upper case") << sha1Hex(kPublished).toUpper();
}

void TestQVPNCertificate::currentFileIsKept()
{
    QFETCH(QByteArray, publishedHash);
    writeCertificate(kPublished);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(publishedHash));
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, QByteArray("must not be fetched"));
    QVPNCertificate certificate(m_path, nullptr);
    QVERIFY(runCheck(certificate));

    QCOMPARE(m_results, QList<bool>{true});
    QCOMPARE(m_api->count(QStringLiteral("/get_ca/")), 0);
    QCOMPARE(readAll(m_path), kPublished);
    QCOMPARE(newLogMessages(), (QStringList{QStringLiteral("Information: QVPNCertificate"),
                                            QStringLiteral("Information: updateCertificate"),
                                            QStringLiteral("Debug: Call webservice to check if certificate is old."),
                                            QStringLiteral("Information: http_finished"),
                                            QStringLiteral("Information: fileHash")}));
}

void TestQVPNCertificate::differentHashDownloads()
{
    writeCertificate(kOld);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(kPublished)));
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, kPublished);
    QVPNCertificate certificate(m_path, nullptr);
    QVERIFY(runCheck(certificate));

    QCOMPARE(m_results, QList<bool>{true});
    QCOMPARE(readAll(m_path), kPublished);
    QCOMPARE(m_api->count(QStringLiteral("/get_ca/")), 1);
    QCOMPARE(newLogMessages(), (QStringList{QStringLiteral("Information: QVPNCertificate"),
                                            QStringLiteral("Information: updateCertificate"),
                                            QStringLiteral("Debug: Call webservice to check if certificate is old."),
                                            QStringLiteral("Information: http_finished"),
                                            QStringLiteral("Information: fileHash"),
                                            QStringLiteral("Debug: Certificate has deferent hash. Update the certificate."),
                                            QStringLiteral("Information: updateCerfiticateFile"),
                                            QStringLiteral("Information: http_finished")}));
}

void TestQVPNCertificate::failedDownloadLeavesFileWhole_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("refused");

    QTest::newRow("server error") << true << 500 << QByteArray("{\"error\":\"down\"}") << false;
    QTest::newRow("not found") << true << 404 << QByteArray("missing") << false;
    QTest::newRow("empty body") << true << 200 << QByteArray() << false;
    QTest::newRow("connection refused") << true << 200 << kPublished << true;
    QTest::newRow("missing file, server error") << false << 500 << QByteArray("oops") << false;
    QTest::newRow("missing file, empty body") << false << 200 << QByteArray() << false;
}

void TestQVPNCertificate::failedDownloadLeavesFileWhole()
{
    QFETCH(bool, fileExists);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, refused);

    if (fileExists)
        writeCertificate(kOld);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(kPublished)));
    m_api->setAnswer(QStringLiteral("/get_ca/"), status, body);
    if (refused) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        qputenv("VARVEX_API_HOST", QByteArray("127.0.0.1:") + QByteArray::number(port));
    }

    QVPNCertificate certificate(m_path, nullptr);
    if (refused)
        certificate.updateCerfiticateFile(); // the check itself would fail first
    else
        certificate.updateCertificate();
    connect(&certificate, &QVPNCertificate::updateFinish, this, [this](bool ok) { m_results << ok; });
    QVERIFY(QTest::qWaitFor([&] { return !m_results.isEmpty(); }, 5000));

    QCOMPARE(m_results, QList<bool>{false});
    if (fileExists)
        QCOMPARE(readAll(m_path), kOld);
    else
        QVERIFY(!QFile::exists(m_path));
    QVERIFY(newLog().contains(QStringLiteral("Error: Certificate download failed at function http_finished")));
    // No temporary file is left beside the certificate.
    QCOMPARE(QDir(m_dir->path() + QStringLiteral("/bin")).entryList(QDir::Files | QDir::Hidden).size(), fileExists ? 1 : 0);
}

void TestQVPNCertificate::failedCheckDownloadsNothing_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");

    QTest::newRow("not JSON") << 200 << QByteArray("<html>hash</html>") << QStringLiteral("Error: Error parsing JSON at function http_finished");
    QTest::newRow("empty") << 200 << QByteArray() << QStringLiteral("Error: Error parsing JSON at function http_finished");
    QTest::newRow("server error with JSON") << 500 << infoAnswer("0000") << QStringLiteral("Error: Certificate check failed at function http_finished");
}

void TestQVPNCertificate::failedCheckDownloadsNothing()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);

    writeCertificate(kOld);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), status, body);
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, kPublished);
    QVPNCertificate certificate(m_path, nullptr);
    QVERIFY(runCheck(certificate));
    QTest::qWait(50);

    QCOMPARE(m_results, QList<bool>{false});
    QCOMPARE(m_api->count(QStringLiteral("/get_ca/")), 0);
    QCOMPARE(readAll(m_path), kOld);
    QVERIFY2(newLog().contains(message), qPrintable(newLog()));
}

void TestQVPNCertificate::unwritableFolderReportsOpenError()
{
    const QString path = m_dir->path() + QStringLiteral("/no-such-folder/ca.crt");
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, kPublished);
    QVPNCertificate certificate(path, nullptr);
    QVERIFY(runCheck(certificate));

    QCOMPARE(m_results, QList<bool>{false});
    QVERIFY(!QFile::exists(path));
    QVERIFY(newLog().contains(QStringLiteral("Error: Error opening certificate file for write at function http_finished")));
}

void TestQVPNCertificate::overlappingChecksNeverWriteAnswersToFile_data()
{
    QTest::addColumn<int>("downloadStatus");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("download succeeds") << 200 << kPublished;
    QTest::newRow("download fails") << 500 << kOld;
}

void TestQVPNCertificate::overlappingChecksNeverWriteAnswersToFile()
{
    // Two clients connect at once: the second check joins the first, and
    // only the download's answer is ever written into the file.
    QFETCH(int, downloadStatus);
    QFETCH(QByteArray, expected);
    writeCertificate(kOld);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(kPublished)));
    m_api->setAnswer(QStringLiteral("/get_ca/"), downloadStatus, kPublished, 200);
    QVPNCertificate certificate(m_path, nullptr);
    connect(&certificate, &QVPNCertificate::updateFinish, this, [this](bool ok) { m_results << ok; });
    certificate.updateCertificate();
    certificate.updateCertificate();
    QVERIFY(QTest::qWaitFor([&] { return !m_results.isEmpty(); }, 5000));
    QTest::qWait(300);

    const bool success = downloadStatus == 200;
    QCOMPARE(m_results, QList<bool>{success});
    QCOMPARE(readAll(m_path), expected);
    QCOMPARE(m_api->count(QStringLiteral("/get_ca_info/")), 1);
}

void TestQVPNCertificate::badBodiesLeaveFileByteForByte_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<QByteArray>("publishedHash");
    QTest::addColumn<QByteArray>("response"); // raw HTTP response to the download
    QTest::addColumn<QString>("reason");

    auto closing = [](const QByteArray& body) { return "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body; };
    auto sized = [](const QByteArray& body, qint64 length) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(length) + "\r\nConnection: close\r\n\r\n" + body;
    };
    const QByteArray html = "<html><body>Please log in to the hotel network</body></html>";
    const QByteArray half = kPublished.left(kPublished.size() / 2);
    QByteArray bundle; // valid certificates, the published hash, too long
    while (bundle.size() <= QVPNCertificate::MaxCertificateSize)
        bundle += kPublished;
    const QByteArray big(300 * 1024, 'A');
    const QString notPem = QStringLiteral("answer is not a PEM certificate");
    const QString differs = QStringLiteral("SHA-1 of the answer differs from the published hash");
    const QString tooLarge = QStringLiteral("answer larger than 65536 bytes");

    QTest::newRow("HTML with status 200") << true << sha1Hex(kPublished) << sized(html, html.size()) << differs;
    QTest::newRow("HTML that is the published file") << true << sha1Hex(html) << sized(html, html.size()) << notPem;
    QTest::newRow("HTML, no check before") << false << QByteArray() << sized(html, html.size()) << notPem;
    QTest::newRow("another certificate") << true << sha1Hex(kPublished) << sized(kOld, kOld.size()) << differs;
    QTest::newRow("truncated without Content-Length") << true << sha1Hex(kPublished) << closing(half) << differs;
    QTest::newRow("truncated, no check before") << false << QByteArray() << closing(half) << notPem;
    QTest::newRow("truncated with Content-Length")
        << true << sha1Hex(kPublished) << sized(half, kPublished.size()) << QString(); // a network error
    QTest::newRow("over-size, announced") << true << sha1Hex(big) << sized(big, big.size()) << tooLarge;
    QTest::newRow("over-size without Content-Length") << true << sha1Hex(big) << closing(big) << tooLarge;
    QTest::newRow("over-size bundle of the published hash") << true << sha1Hex(bundle) << closing(bundle) << tooLarge;
    // OpenVPN would trust whatever the file names: only live authorities.
    const QByteArray server = testFile(QStringLiteral("server.crt"));
    const QByteArray expiredCa = testFile(QStringLiteral("expired-ca.crt"));
    QTest::newRow("server certificate, not an authority")
        << true << sha1Hex(server) << sized(server, server.size())
        << QStringLiteral("a certificate of the answer is not a certificate authority");
    QTest::newRow("bundle with an expired authority")
        << true << sha1Hex(kPublished + expiredCa) << closing(kPublished + expiredCa)
        << QStringLiteral("a certificate of the answer expired on ");
}

void TestQVPNCertificate::badBodiesLeaveFileByteForByte()
{
    QFETCH(bool, fileExists);
    QFETCH(QByteArray, publishedHash);
    QFETCH(QByteArray, response);
    QFETCH(QString, reason);

    if (fileExists)
        writeCertificate(kOld);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(publishedHash));
    m_api->setRawAnswer(QStringLiteral("/get_ca/"), response);
    QVPNCertificate certificate(m_path, nullptr);
    QVERIFY(runCheck(certificate));

    QCOMPARE(m_results, QList<bool>{false});
    QCOMPARE(m_api->count(QStringLiteral("/get_ca/")), 1);
    if (fileExists)
        QCOMPARE(readAll(m_path), kOld);
    else
        QVERIFY(!QFile::exists(m_path));
    QCOMPARE(QDir(m_dir->path() + QStringLiteral("/bin")).entryList(QDir::Files | QDir::Hidden).size(), fileExists ? 1 : 0);
    const QString line = QStringLiteral("Error: Certificate download failed at function http_finished: ") + reason;
    QVERIFY2(newLog().contains(line), qPrintable(newLog()));
}

void TestQVPNCertificate::certificateBundleIsAccepted()
{
    // A CA file may hold a chain: every block must parse.
    const QByteArray bundle = kPublished + kOld;
    writeCertificate(kOld);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(bundle)));
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, bundle);
    QVPNCertificate certificate(m_path, nullptr);
    QVERIFY(runCheck(certificate));
    QCOMPARE(m_results, QList<bool>{true});
    QCOMPARE(readAll(m_path), bundle);

    // One damaged block in an otherwise good file is refused.
    QByteArray damaged = kPublished + kOld;
    damaged[kPublished.size() + 100] = damaged[kPublished.size() + 100] == 'Q' ? 'R' : 'Q';
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(damaged)));
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, damaged);
    m_results.clear();
    certificate.updateCertificate();
    QVERIFY(QTest::qWaitFor([&] { return !m_results.isEmpty(); }, 5000));
    QCOMPARE(m_results, QList<bool>{false});
    QCOMPARE(readAll(m_path), bundle);
}

void TestQVPNCertificate::hungWebApiTimesOutAndNextCheckStartsAfresh()
{
    writeCertificate(kOld);
    m_api->setHangingAnswer(QStringLiteral("/get_ca_info/"));
    QVPNCertificate certificate(m_path, nullptr);
    connect(&certificate, &QVPNCertificate::updateFinish, this, [this](bool ok) { m_results << ok; });
    QElapsedTimer clock;
    clock.start();
    certificate.updateCertificate();
    QVERIFY(QTest::qWaitFor([&] { return !m_results.isEmpty(); }, WebApi::TransferTimeoutMs + 3000));
    QVERIFY(clock.elapsed() >= WebApi::TransferTimeoutMs * 9 / 10); // a coarse timer may fire 5 % early
    QCOMPARE(m_results, QList<bool>{false});
    QVERIFY2(newLog().contains(QStringLiteral("Error: Certificate check failed at function http_finished: "
                                              "no complete answer within 5000 ms")),
             qPrintable(newLog()));

    // A check during the hung one joined it; the next one sends its own request.
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(kPublished)));
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, kPublished);
    m_results.clear();
    certificate.updateCertificate();
    QVERIFY(QTest::qWaitFor([&] { return !m_results.isEmpty(); }, 5000));
    QCOMPARE(m_results, QList<bool>{true});
    QCOMPARE(m_api->count(QStringLiteral("/get_ca_info/")), 2);
    QCOMPARE(readAll(m_path), kPublished);
}

void TestQVPNCertificate::simultaneousChecksShareOneRequest()
{
    writeCertificate(kOld);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(kPublished)), 100);
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, kPublished, 100);
    QVPNCertificate certificate(m_path, nullptr);
    connect(&certificate, &QVPNCertificate::updateFinish, this, [this](bool ok) { m_results << ok; });
    for (int i = 0; i < 1000; ++i) {
        certificate.updateCertificate();
        if (i == 500)
            QTest::qWait(150); // the check is answered, the download runs
    }
    QVERIFY(QTest::qWaitFor([&] { return !m_results.isEmpty(); }, 5000));
    QTest::qWait(300);
    QCOMPARE(m_results, QList<bool>{true});
    QCOMPARE(m_api->count(QStringLiteral("/get_ca_info/")), 1);
    QCOMPARE(m_api->count(QStringLiteral("/get_ca/")), 1);
    QCOMPARE(readAll(m_path), kPublished);

    // Once it has ended, the next client's check asks again.
    m_results.clear();
    certificate.updateCertificate();
    QVERIFY(QTest::qWaitFor([&] { return !m_results.isEmpty(); }, 5000));
    QCOMPARE(m_results, QList<bool>{true});
    QCOMPARE(m_api->count(QStringLiteral("/get_ca_info/")), 2);
    QCOMPARE(m_api->count(QStringLiteral("/get_ca/")), 1);
}

void TestQVPNCertificate::onlyAVerifiedServerChangesTheFile_data()
{
    QTest::addColumn<QString>("serverCertificate"); // empty: plain HTTP
    QTest::addColumn<bool>("updated");
    QTest::newRow("trusted") << "server" << true;
    QTest::newRow("man in the middle") << "mitm" << false;
    QTest::newRow("wrong host name") << "wronghost" << false;
    QTest::newRow("expired") << "expired" << false;
    QTest::newRow("plain HTTP answer") << QString() << false;
}

void TestQVPNCertificate::onlyAVerifiedServerChangesTheFile()
{
    QFETCH(QString, serverCertificate);
    QFETCH(bool, updated);
    const QString folder = m_certificates.path() + QLatin1Char('/');
    ScopedHttpsWebApi https(folder + QStringLiteral("ca.crt"));
    if (!serverCertificate.isEmpty()) {
        delete m_api;
        m_api = new RecordingHttpServer;
        QVERIFY(m_api->startTls(folder + serverCertificate + ".crt", folder + serverCertificate + ".key"));
        qputenv("VARVEX_API_HOST", m_api->hostAndPort().toLatin1());
    }
    writeCertificate(kOld);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(kPublished)));
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, kPublished);
    m_api->setDefaultAnswer(RecordingHttpServer::Answer{200, infoAnswer(sha1Hex(kPublished)), 0, QByteArray(), false});
    QVPNCertificate certificate(m_path, nullptr);
    QVERIFY(runCheck(certificate));

    QCOMPARE(m_results, QList<bool>{updated});
    QCOMPARE(readAll(m_path), updated ? kPublished : kOld);
    QCOMPARE(m_api->requests.size(), updated ? 2 : 0);
    if (!updated)
        QVERIFY2(newLog().contains(QStringLiteral("Error: Certificate check failed at function http_finished: ")), qPrintable(newLog()));
}

QTEST_GUILESS_MAIN(TestQVPNCertificate)
#include "tst_qvpncertificate.moc"
