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

void FuzzSupport::fuzzInput(const QByteArray& bytes)
{
    const QList<QByteArray> pieces = FuzzSupport::pieces(bytes);
    FUZZ_CHECK(readOutput({ bytes }) == readOutput(pieces));
    readErrors(pieces);
    readErrors(bytes.split('\n'));
}
