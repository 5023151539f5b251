// The service's reading of a client's byte stream: frames cut from pieces of
// any size, and the connect requests among them taken apart.
#include "controlcharacters.h"
#include "fuzzsupport.h"
#include "qvpnclientconnection.h"
#include "varvexprotocol.h"

namespace {

struct Reading
{
    QList<int> results;
    QList<QByteArray> frames;
    bool droppedBuffer = false; // what was dropped depends on how the bytes came
};

void serve(const QByteArray& frame)
{
    if (VarvexFrame::code(frame) != VARVEX_CMD_CONNECT_REQUEST)
        return;
    QString host, username, password;
    if (!QVPNClientConnection::readConnectRequest(frame, &host, &username, &password))
        return;
    // These reach OpenVPN's command line and prompts.
    FUZZ_CHECK(!username.isEmpty() && !password.isEmpty());
    FUZZ_CHECK(!containsControlCharacter(host) && !containsControlCharacter(username)
               && !containsControlCharacter(password));
}

Reading read(const QList<QByteArray>& pieces)
{
    VarvexFrameReader reader;
    Reading reading;
    for (const QByteArray& piece : pieces) {
        reader.append(piece);
        QByteArray frame;
        VarvexFrameReader::Result result;
        while ((result = reader.next(&frame)) != VarvexFrameReader::NeedMore) {
            reading.results.append(result);
            if (result == VarvexFrameReader::TooShort)
                reading.droppedBuffer = true;
            if (result != VarvexFrameReader::Frame)
                continue;
            FUZZ_CHECK(frame.size() >= VARVEX_PACKET_MIN_SIZE && frame.size() <= VARVEX_PACKET_MAX_SIZE);
            FUZZ_CHECK(quint8(frame.at(1)) == frame.size());
            reading.frames.append(frame);
            serve(frame);
        }
        FUZZ_CHECK(reader.bufferedSize() >= 0);
    }
    return reading;
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
    const Reading whole = read({ bytes });
    const Reading split = read(FuzzSupport::pieces(bytes));
    if (!whole.droppedBuffer && !split.droppedBuffer) {
        FUZZ_CHECK(whole.results == split.results);
        FUZZ_CHECK(whole.frames == split.frames);
    }
    return 0;
}
