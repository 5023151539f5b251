#ifndef QVPNPUBLICADDRESSLOOKUP_H
#define QVPNPUBLICADDRESSLOOKUP_H

#include <QObject>
#include <QString>

#include "webapiclient.h"

// Asks the web API for the address the outside world sees. A series makes
// requests one second apart and gives up once more than MaxAttempts were
// made. Answers are not matched to their series: a late answer of an older
// series still counts.
class QVPNPublicAddressLookup : public QObject
{
    Q_OBJECT
public:
    enum Result {
        Looking, // a request has just been sent
        Found,   // the address came
        GaveUp   // the series ended without one
    };
    Q_ENUM(Result)

    static constexpr int RetryInterval = 1000;
    static constexpr int MaxAttempts = 3;

    explicit QVPNPublicAddressLookup(QObject* parent = nullptr);

    // A new series: the attempt count starts again and the first request
    // follows after RetryInterval.
    void startSeries();
    // One request now.
    void lookUp();
    // Judges an answer to any of this lookup's requests.
    void evaluate(const WebApiAnswer& answer);

    // The requests' client; its answers are to be passed to evaluate().
    WebApiClient* webApi() { return &m_webApi; }

signals:
    // The address is empty unless the result is Found.
    void resultReady(QVPNPublicAddressLookup::Result result, const QString& address);

private:
    void scheduleAttempt();

    WebApiClient m_webApi;
    int m_attempts = 0;
};

#endif // QVPNPUBLICADDRESSLOOKUP_H
