#include "recordfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool ownedByThisUserAlone(int fd)
{
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid()
        && !(info.st_mode & (S_IWGRP | S_IWOTH));
}

bool readBounded(int fd, size_t maxSize, std::string* text)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        text->append(buffer, size_t(n));
        if (text->size() > maxSize)
            return false;
    }
}

} // namespace

bool readRecordFile(const std::string& path, size_t maxSize, RecordEntries* entries)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string text;
    const bool ok = ownedByThisUserAlone(fd) && readBounded(fd, maxSize, &text);
    close(fd);
    if (!ok)
        return false;

    entries->clear();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.find(' ');
        entries->emplace_back(line.substr(0, space), space == std::string::npos ? std::string() : line.substr(space + 1));
    }
    return true;
}

bool writeRecordFile(const std::string& path, const std::string& content, std::string* error)
{
    const std::string temporary = path + ".new";
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot write " + temporary + ": " + strerror(errno);
        return false;
    }
    const bool written = write(fd, content.data(), content.size()) == ssize_t(content.size()) && fsync(fd) == 0;
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}
