#include "linerelay.h"

#include <cerrno>
#include <unistd.h>

// A runaway line is passed on in pieces rather than held in memory.
static const size_t MaxPendingLine = 64 * 1024;

void LineRelay::feed(const char* data, size_t size)
{
    m_pending.append(data, size);
    size_t start = 0;
    for (;;) {
        const size_t lf = m_pending.find('\n', start);
        if (lf == std::string::npos)
            break;
        size_t end = lf;
        if (end > start && m_pending[end - 1] == '\r')
            --end;
        writeLine(m_pending.substr(start, end - start), true);
        start = lf + 1;
    }
    m_pending.erase(0, start);
    if (m_pending.size() >= MaxPendingLine) {
        writeLine(m_pending, false);
        m_pending.clear();
    }
}

void LineRelay::finish()
{
    if (m_pending.empty())
        return;
    std::string line;
    line.swap(m_pending);
    if (line.back() == '\r')
        line.pop_back();
    writeLine(line, true);
}

void LineRelay::writeLine(std::string line, bool terminate)
{
    if (terminate)
        line += "\r\n";
    // Once the reader is gone the output is dropped, but the stream is
    // still drained so that OpenVPN never blocks on a full pipe.
    const char* data = line.data();
    size_t size = line.size();
    while (!m_outputBroken && size > 0) {
        const ssize_t n = ::write(m_outFd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_outputBroken = true;
            break;
        }
        data += n;
        size -= size_t(n);
    }
}
