#ifndef AUTHFILE_H
#define AUTHFILE_H

#include <string>

// Holds a user name and password in an anonymous memory file that a child
// inherits and opens as /dev/fd/N. Every open of that path starts reading at
// the beginning, so OpenVPN can read it again at each renegotiation, and the
// secret never touches a disk, a command line or a log.
class AuthFile
{
public:
    AuthFile() = default;
    ~AuthFile();
    AuthFile(const AuthFile&) = delete;
    AuthFile& operator=(const AuthFile&) = delete;

    // Returns false and sets errno when the file cannot be made.
    bool create(const std::string& username, const std::string& password);
    int fd() const { return m_fd; }
    std::string path() const;
    void close();

private:
    int m_fd = -1;
};

#endif // AUTHFILE_H
