// OpenVPN's standard output and standard error as the service reads them,
// in pieces of any size (a CR LF may arrive split): whole or split, the
// same lines must give the same tunnel address, device and state.
#include "fuzzsupport.h"
#include "qvarvexcommand.h"

namespace {

class OutputReader : public QVarvexCommand
{
public:
    using QVarvexCommand::handleError;
    using QVarvexCommand::handleOutput;
    using QVarvexCommand::heldOutputSize;
};

QList<QByteArray> readOutput(const QList<QByteArray>& pieces)
{
    OutputReader reader;
    int loginFailures = 0;
    QObject::connect(&reader, &QVarvexCommand::loginFailed, [&] { ++loginFailures; });
    for (const QByteArray& piece : pieces) {
        reader.handleOutput(piece);
        // At most one line and the CR that may start its end are held.
        FUZZ_CHECK(reader.heldOutputSize() <= QVarvexCommand::MaxOutputLineLength + 1);
    }
    return { reader.deviceIP(), reader.deviceName(), reader.deviceGuid(), QByteArray::number(reader.status()),
             QByteArray::number(loginFailures) };
}

void readErrors(const QList<QByteArray>& pieces)
{
    OutputReader reader;
    for (const QByteArray& piece : pieces)
        reader.handleError(piece);
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
    FUZZ_CHECK(readOutput({ bytes }) == readOutput(pieces));
    readErrors(pieces);
    readErrors(bytes.split('\n'));
    return 0;
}
