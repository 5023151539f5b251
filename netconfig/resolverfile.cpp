#include "resolverfile.h"

#include "changerecord.h"
#include "pusheddns.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The resolver reads no more than three servers.
const size_t MaxFileServers = 3;
const size_t MaxResolvConfSize = 1024 * 1024;
// The record lives in /run and does not survive a power cut, the changed
// file does: it carries the original too, as a comment, when small enough.
const size_t MaxCarriedOriginal = 16 * 1024;
const char Header[] = "# Written by Varvex while its VPN tunnel is up; the original comes back when it ends.\n";
const char CarriedOriginal[] = "# varvex-original ";

const char Base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string& bytes)
{
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned value = unsigned(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            value |= unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            value |= unsigned(static_cast<unsigned char>(bytes[i + 2]));
        text += Base64Digits[(value >> 18) & 63];
        text += Base64Digits[(value >> 12) & 63];
        text += i + 1 < bytes.size() ? Base64Digits[(value >> 6) & 63] : '=';
        text += i + 2 < bytes.size() ? Base64Digits[value & 63] : '=';
    }
    return text;
}

bool fromBase64(const std::string& text, std::string* bytes)
{
    if (text.size() % 4 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned value = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            const char* digit = c ? strchr(Base64Digits, c) : nullptr;
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                ++padding;
                value <<= 6;
            } else if (digit && padding == 0) {
                value = (value << 6) | unsigned(digit - Base64Digits);
            } else {
                return false;
            }
        }
        *bytes += char((value >> 16) & 0xff);
        if (padding < 2)
            *bytes += char((value >> 8) & 0xff);
        if (padding < 1)
            *bytes += char(value & 0xff);
    }
    return true;
}

std::string systemError(const std::string& what)
{
    return what + ": " + strerror(errno);
}

bool readFile(const std::string& path, int flags, std::string* text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0)
        return false;
    char buffer[4096];
    ssize_t n;
    bool ok = true;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || text->size() + size_t(n) > MaxResolvConfSize) {
            ok = false;
            break;
        }
        text->append(buffer, size_t(n));
    }
    close(fd);
    return ok;
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Replaces the file at once through a new file renamed over it. Where it
// cannot be renamed over (a bind mount, as `ip netns exec` makes of it) it
// is rewritten in place instead.
bool replaceFile(const std::string& path, const std::string& text, unsigned mode, std::string* error)
{
    std::string temporary = folderOf(path) + "/.resolv.conf.varvex-XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd >= 0) {
        const bool written = fchmod(fd, mode) == 0 && writeAll(fd, text) && fsync(fd) == 0;
        close(fd);
        if (written && rename(temporary.c_str(), path.c_str()) == 0)
            return true;
        unlink(temporary.c_str());
    }
    const int inPlace = open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (inPlace < 0) {
        *error = systemError("cannot write " + path);
        return false;
    }
    const bool written = writeAll(inPlace, text) && fsync(inPlace) == 0;
    close(inPlace);
    if (!written)
        *error = systemError("cannot write " + path);
    return written;
}

bool replaceWithLink(const std::string& path, const std::string& target, std::string* error)
{
    std::string temporary = folderOf(path) + "/.resolv.conf.varvex-link";
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        *error = systemError("cannot put back the link " + path);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// The resolver file while the tunnel is up: its servers and domains, and
// the original's options (timeouts, edns0), which are no one's leak.
std::string tunnelResolvConf(const PushedDns& dns, const std::string& original, const ChangeRecord& record)
{
    std::string text = Header;
    for (size_t i = 0; i < dns.servers.size() && i < MaxFileServers; ++i)
        text += "nameserver " + dns.servers[i] + "\n";
    if (!dns.domains.empty()) {
        text += "search";
        for (const std::string& domain : dns.domains)
            text += " " + domain;
        text += "\n";
    }
    std::istringstream lines(original);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 8, "options ") == 0 || line.compare(0, 8, "options\t") == 0)
            text += line + "\n";
    }
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", record.resolvConfMode);
    if (record.resolvConfKind == "file" && original.size() <= MaxCarriedOriginal)
        text += CarriedOriginal + std::string("file ") + mode + " " + base64(original) + "\n";
    else if (record.resolvConfKind == "link" && record.resolvConfLink.find('\n') == std::string::npos)
        text += CarriedOriginal + std::string("link ") + record.resolvConfLink + "\n";
    else if (record.resolvConfKind == "missing")
        text += CarriedOriginal + std::string("missing\n");
    return text;
}

bool applyToFile(const std::string& path, const PushedDns& dns, ChangeRecord& record, std::string* error)
{
    record.resolvConf = path;
    std::string original;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            *error = systemError(path);
            return false;
        }
        record.resolvConfKind = "missing";
    } else if (S_ISLNK(info.st_mode)) {
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            *error = systemError("cannot read the link " + path);
            return false;
        }
        record.resolvConfKind = "link";
        record.resolvConfLink.assign(target, size_t(n));
        readFile(path, 0, &original);
    } else if (S_ISREG(info.st_mode)) {
        if (!readFile(path, O_NOFOLLOW, &original)) {
            *error = systemError("cannot read " + path);
            return false;
        }
        // Kept before anything is changed, so that it can always come back.
        const std::string kept = record.keptResolvConfPath();
        unlink(kept.c_str());
        const int fd = open(kept.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        const bool written = fd >= 0 && writeAll(fd, original) && fsync(fd) == 0;
        if (fd >= 0)
            close(fd);
        if (!written) {
            *error = systemError("cannot keep a copy of " + path);
            unlink(kept.c_str());
            return false;
        }
        record.resolvConfKind = "file";
        record.resolvConfMode = info.st_mode & 07777;
    } else {
        *error = path + " is not a file";
        return false;
    }

    const std::string text = tunnelResolvConf(dns, original, record);
    record.resolvConfWritten = textChecksum(text);
    if (!record.save(error))
        return false;
    // A link or nothing at all is replaced by a plain, readable file.
    return replaceFile(path, text, record.resolvConfKind == "file" ? record.resolvConfMode : 0644, error);
}

bool undoFile(const ChangeRecord& record, std::string* error, std::string* note)
{
    const std::string& path = record.resolvConf;
    if (path.empty() || record.resolvConfKind.empty())
        return true;
    std::string current;
    if (readFile(path, O_NOFOLLOW, &current) && textChecksum(current) != record.resolvConfWritten) {
        // Another program wrote its own since: that is the newer truth.
        *note = path + " was changed by another program while the tunnel was up and is left as it is";
        return true;
    }
    if (record.resolvConfKind == "missing") {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = systemError("cannot remove " + path);
            return false;
        }
        return true;
    }
    if (record.resolvConfKind == "link")
        return replaceWithLink(path, record.resolvConfLink, error);
    std::string original;
    if (!readFile(record.keptResolvConfPath(), O_NOFOLLOW, &original)) {
        *error = systemError("cannot read the kept copy of " + path);
        return false;
    }
    return replaceFile(path, original, record.resolvConfMode, error);
}

} // namespace

namespace ResolverFile {

bool read(const std::string& path, std::string* text)
{
    return readFile(path, 0, text);
}

bool undoUnrecorded(const std::string& path, bool* restored, std::string* error)
{
    *restored = false;
    std::string current;
    if (!readFile(path, O_NOFOLLOW, &current) || current.compare(0, strlen(Header), Header) != 0)
        return true;
    const size_t at = current.find(std::string("\n") + CarriedOriginal);
    if (at == std::string::npos)
        return true;
    const size_t begin = at + 1 + strlen(CarriedOriginal);
    const size_t end = current.find('\n', begin);
    std::istringstream carried(current.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    std::string kind, value, bytes;
    carried >> kind;
    if (kind == "missing") {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = systemError("cannot remove " + path);
            return false;
        }
    } else if (kind == "link") {
        std::getline(carried >> std::ws, value);
        if (value.empty() || !replaceWithLink(path, value, error))
            return false;
    } else if (kind == "file") {
        std::string mode;
        carried >> mode >> value;
        if (!fromBase64(value, &bytes)) {
            *error = path + " holds a damaged copy of its original";
            return false;
        }
        if (!replaceFile(path, bytes, unsigned(strtoul(mode.c_str(), nullptr, 8)) & 07777, error))
            return false;
    } else {
        return true;
    }
    *restored = true;
    return true;
}

bool apply(const std::string& path, const PushedDns& dns, ChangeRecord& record, std::string* error)
{
    return applyToFile(path, dns, record, error);
}

bool undo(const ChangeRecord& record, std::string* error, std::string* note)
{
    return undoFile(record, error, note);
}

} // namespace ResolverFile
