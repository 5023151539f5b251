#include "changerecord.h"

#include "recordfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t MaxRecordSize = 64 * 1024;

} // namespace

std::string textChecksum(const std::string& text)
{
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", hash);
    return hex;
}

ChangeRecord::ChangeRecord(const std::string& runDir) : m_runDir(runDir) { }

ChangeRecord::~ChangeRecord()
{
    if (m_lockFd >= 0)
        close(m_lockFd); // releases the lock
}

std::string ChangeRecord::currentNamespace()
{
    struct stat info;
    if (stat("/proc/self/ns/net", &info) != 0)
        return "unknown";
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

bool ChangeRecord::lock(bool createFolder, std::string* error)
{
    if (createFolder && mkdir(m_runDir.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot create " + m_runDir + ": " + strerror(errno);
        return false;
    }
    struct stat info;
    if (lstat(m_runDir.c_str(), &info) != 0) {
        *error = m_runDir + ": " + strerror(errno);
        return false;
    }
    // What is undone from here is done as root: nobody else may plant it.
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH))) {
        *error = m_runDir + " is not a folder of this user alone";
        return false;
    }
    const std::string lockPath = m_runDir + "/network.lock";
    m_lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_lockFd < 0) {
        *error = "cannot open " + lockPath + ": " + strerror(errno);
        return false;
    }
    while (flock(m_lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *error = "cannot lock " + lockPath + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

bool ChangeRecord::exists() const
{
    struct stat info;
    return lstat(recordPath().c_str(), &info) == 0;
}

bool ChangeRecord::load()
{
    RecordEntries entries;
    if (!readRecordFile(recordPath(), MaxRecordSize, &entries))
        return false;
    for (const auto& [key, value] : entries) {
        if (key == "netns")
            netns = value;
        else if (key == "dns-method")
            dnsMethod = value;
        else if (key == "dns-interface")
            dnsInterface = value;
        else if (key == "resolv-conf")
            resolvConf = value;
        else if (key == "resolv-conf-kind")
            resolvConfKind = value;
        else if (key == "resolv-conf-link")
            resolvConfLink = value;
        else if (key == "resolv-conf-mode")
            resolvConfMode = unsigned(strtoul(value.c_str(), nullptr, 8)) & 07777;
        else if (key == "resolv-conf-written")
            resolvConfWritten = value;
        else if (key == "host-route-existed")
            hostRouteExisted = value == "1";
        else if (key == "host-route") {
            std::istringstream words(value);
            words >> hostRoute >> hostRouteGateway >> hostRouteDevice;
        } else if (key == "ipv6-blocked")
            ipv6Blocked = value == "1";
    }
    return true;
}

bool ChangeRecord::empty() const
{
    return dnsMethod.empty() && hostRoute.empty() && !ipv6Blocked;
}

bool ChangeRecord::save(std::string* error)
{
    std::ostringstream text;
    text << "netns " << netns << "\n";
    if (!dnsMethod.empty()) {
        text << "dns-method " << dnsMethod << "\n"
             << "dns-interface " << dnsInterface << "\n";
    }
    if (!resolvConfKind.empty()) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", resolvConfMode);
        text << "resolv-conf " << resolvConf << "\n"
             << "resolv-conf-kind " << resolvConfKind << "\n"
             << "resolv-conf-mode " << mode << "\n";
        if (!resolvConfLink.empty())
            text << "resolv-conf-link " << resolvConfLink << "\n";
        if (!resolvConfWritten.empty())
            text << "resolv-conf-written " << resolvConfWritten << "\n";
    }
    text << "host-route-existed " << (hostRouteExisted ? 1 : 0) << "\n";
    if (!hostRoute.empty())
        text << "host-route " << hostRoute << " " << hostRouteGateway << " " << hostRouteDevice << "\n";
    if (ipv6Blocked)
        text << "ipv6-blocked 1\n";

    return writeRecordFile(recordPath(), text.str(), error);
}

void ChangeRecord::remove()
{
    unlink(keptResolvConfPath().c_str());
    unlink(recordPath().c_str());
}
