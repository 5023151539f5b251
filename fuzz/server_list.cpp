// The server list as the web API's body gives it.
#include "fuzzsupport.h"
#include "qvpnlistservers.h"

void FuzzSupport::fuzzInput(const QByteArray& bytes)
{
    WebApiAnswer answer;
    answer.outcome = WebApiAnswer::Answered;
    answer.status = 200;
    answer.body = bytes;
    QVPNListServers list;
    int finished = 0;
    QObject::connect(&list, &QVPNListServers::finished, [&] { ++finished; });
    // The slot the download's answer reaches, without a network.
    FUZZ_CHECK(QMetaObject::invokeMethod(&list, "http_finished", Qt::DirectConnection, Q_ARG(WebApiAnswer, answer)));
    FUZZ_CHECK(finished == 1);
}
