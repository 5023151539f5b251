#ifndef WEBAPICLIENT_H
#define WEBAPICLIENT_H

#include <QByteArray>
#include <QMetaType>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkReply;

namespace WebApi {

// Longest a request may take from being sent to its last byte; a web API
// that accepts and never answers must not hold a check for ever.
constexpr int TransferTimeoutMs = 5000;
// Largest answer read unless a caller sets its own cap; the server list,
// the biggest answer, is a few KiB.
constexpr qint64 MaxAnswerSize = 1024 * 1024;

} // namespace WebApi

// What became of one web API request.
struct WebApiAnswer
{
    enum Outcome {
        Answered, // the server's whole answer arrived, whatever its HTTP status
        Failed,   // no answer, one cut short, or a TLS error
        TimedOut, // not complete within WebApi::TransferTimeoutMs
        TooLarge, // longer than the request's size cap
    };

    int tag = 0; // the caller's mark, as given to get()
    Outcome outcome = Failed;
    int status = 0;  // HTTP status; 0 when no answer came
    QByteArray body; // the whole body when answered, else empty
    QString error;   // why the transfer failed

    // Complete, in time, within its cap and with status 200.
    bool ok() const { return outcome == Answered && status == 200; }
    // One line saying why the answer is not ok(); empty when it is.
    QString failure() const;
};
Q_DECLARE_METATYPE(WebApiAnswer)

// Sends the GET requests of the web API and judges their answers. An https
// request trusts the system's authorities and those of VARVEX_API_CA_FILE,
// and any TLS error fails it. Every request ends in exactly one answered()
// signal.
class WebApiClient : public QObject
{
    Q_OBJECT
public:
    explicit WebApiClient(QObject* parent = nullptr);
    ~WebApiClient() override;

    void get(const QUrl& url, int tag = 0, qint64 maxAnswerSize = WebApi::MaxAnswerSize);
    int pendingRequests() const { return m_pendingRequests; }

signals:
    void answered(const WebApiAnswer& answer);

private:
    void failLater(int tag, const QString& error);
    void watch(QNetworkReply* reply, qint64 maxAnswerSize);
    void finish(QNetworkReply* reply, qint64 maxAnswerSize);

    QNetworkAccessManager m_networkManager;
    int m_pendingRequests = 0;
};

#endif // WEBAPICLIENT_H
