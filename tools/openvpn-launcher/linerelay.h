#ifndef LINERELAY_H
#define LINERELAY_H

#include <cstddef>
#include <string>

// Copies a byte stream to a file descriptor line by line, ending every line
// with CR LF whatever ending it came with. A line split across reads is
// written whole once its end arrives; finish() writes a last unterminated line.
class LineRelay
{
public:
    explicit LineRelay(int outFd) : m_outFd(outFd) { }

    void feed(const char* data, size_t size);
    void finish();

private:
    void writeLine(std::string line, bool terminate);

    int m_outFd;
    std::string m_pending;
    bool m_outputBroken = false;
};

#endif // LINERELAY_H
