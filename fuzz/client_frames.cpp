// The client's reading of the service's byte stream, pieces of any size,
// with the frames' meaning: status, address and connect time, credentials
// and the bandwidth totals turned into per-sample amounts.
#include "fuzzsupport.h"
#include "qvarvexserviceconnection.h"

namespace {

QList<QByteArray> readAll(const QList<QByteArray>& pieces)
{
    QVarvexServiceConnection connection;
    QList<QByteArray> seen;
    auto note = [&seen](const char* what, const QByteArray& detail) { seen.append(what + QByteArray(" ") + detail); };
    QObject::connect(&connection, &QVarvexServiceConnection::credentials, [&](const QByteArray& text) {
        FUZZ_CHECK(text.size() <= VARVEX_PACKET_MAX_PAYLOAD);
        note("credentials", text);
    });
    QObject::connect(&connection, &QVarvexServiceConnection::notifyStatusChange,
                     [&](char status) { note("status", QByteArray(1, status)); });
    QObject::connect(&connection, &QVarvexServiceConnection::assignedIP, [&](const QByteArray& ip) { note("ip", ip); });
    QObject::connect(&connection, &QVarvexServiceConnection::startTime,
                     [&](uint time) { note("time", QByteArray::number(time)); });
    QObject::connect(&connection, &QVarvexServiceConnection::updateBandwidth, [&](uchar kind, uint down, uint up) {
        note("bandwidth", QByteArray::number(kind) + ' ' + QByteArray::number(down) + ' ' + QByteArray::number(up));
    });
    QObject::connect(&connection, &QVarvexServiceConnection::loginFailed, [&] { note("login failed", QByteArray()); });

    for (const QByteArray& piece : pieces)
        connection.receive(piece);
    return seen;
}

// A length byte below the minimum drops all that is buffered, which depends
// on how the bytes came: a reader beside the connection's tells when.
bool dropsBuffer(const QList<QByteArray>& pieces)
{
    VarvexFrameReader reader;
    for (const QByteArray& piece : pieces) {
        reader.append(piece);
        VarvexFrameReader::Result result;
        while ((result = reader.next(nullptr)) != VarvexFrameReader::NeedMore) {
            if (result == VarvexFrameReader::TooShort)
                return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzSupport::quietApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    const QList<QByteArray> pieces = FuzzSupport::pieces(bytes);
    const QList<QByteArray> whole = readAll({ bytes });
    const QList<QByteArray> split = readAll(pieces);
    if (!dropsBuffer({ bytes }) && !dropsBuffer(pieces))
        FUZZ_CHECK(whole == split);
    return 0;
}
