#include "authfile.h"

#include <cerrno>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

AuthFile::~AuthFile()
{
    close();
}

static bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool AuthFile::create(const std::string& username, const std::string& password)
{
    close();
    // No close-on-exec: the OpenVPN child must inherit it.
    m_fd = memfd_create("varvex-auth", MFD_ALLOW_SEALING);
    if (m_fd < 0)
        return false;

    std::string content = username + '\n' + password + '\n';
    const bool ok = fchmod(m_fd, 0600) == 0 && writeAll(m_fd, content.data(), content.size());
    explicit_bzero(&content[0], content.size());
    if (!ok) {
        const int saved = errno;
        close();
        errno = saved;
        return false;
    }
    // Nobody who inherits the file may change what later opens read.
    fcntl(m_fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return true;
}

std::string AuthFile::path() const
{
    return "/dev/fd/" + std::to_string(m_fd);
}

void AuthFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
