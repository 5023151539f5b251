#include "ctlterminal.h"

#include <cstdio>

// Standard output and error are the same on every platform; the terminal's
// other halves are in ctlterminal_<platform>.cpp.
namespace CtlTerminal {

void out(const QByteArray& text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

void out(const QString& text)
{
    out(text.toLocal8Bit());
}

void error(const QString& line)
{
    const QByteArray text = "varvexctl: " + line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

} // namespace CtlTerminal
