// OpenVPN output without line ends: CPU time and peak memory of the
// controller's output handler for N MB of bytes that never end a line, fed
// in chunks as the process pipe delivers them, then one normal line.
// Usage: bench_openvpn_output [megabytes=100] [chunk KiB=64]
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>

#include "qvarvexcommand.h"
#include "varvexlog.h"

namespace {

class FedCommand : public QVarvexCommand
{
public:
    void feed(const QByteArray& bytes) { handleOutput(bytes); }
    int held() const { return heldOutputSize(); }
};

double cpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssKiB()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The log stays quiet: the figure is the handler's own work.
    setupLog(LOG_CRITICAL, true);
    const int megabytes = argc > 1 ? std::atoi(argv[1]) : 100;
    const int chunkKiB = argc > 2 ? std::atoi(argv[2]) : 64;
    const QByteArray chunk(chunkKiB * 1024, 'x');
    const long chunks = long(megabytes) * 1024 / chunkKiB;

    FedCommand command;
    const long rssBefore = peakRssKiB();
    const double cpuBefore = cpuSeconds();
    int largestHeld = 0;
    for (long i = 0; i < chunks; ++i) {
        command.feed(chunk);
        largestHeld = qMax(largestHeld, command.held());
    }
    command.feed("\r\n2026-01-01 10:00:00 Initialization Sequence Completed\r\n");
    const double cpu = cpuSeconds() - cpuBefore;

    std::printf("%d MB without a line end in %d KiB chunks: cpu=%.2f s, peak RSS %ld -> %ld KiB, "
                "largest held %d bytes, status after the next line %d\n",
                megabytes, chunkKiB, cpu, rssBefore, peakRssKiB(), largestHeld, command.status());
    return 0;
}
