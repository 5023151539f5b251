// The server list as the web API's body gives it.
#include "fuzzsupport.h"
#include "qvpnlistservers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzSupport::quietApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    WebApiAnswer answer;
    answer.outcome = WebApiAnswer::Answered;
    answer.status = 200;
    answer.body = QByteArray(reinterpret_cast<const char*>(data), int(size));
    QVPNListServers list;
    int finished = 0;
    QObject::connect(&list, &QVPNListServers::finished, [&] { ++finished; });
    // The slot the download's answer reaches, without a network.
    FUZZ_CHECK(QMetaObject::invokeMethod(&list, "http_finished", Qt::DirectConnection, Q_ARG(WebApiAnswer, answer)));
    FUZZ_CHECK(finished == 1);
    return 0;
}
