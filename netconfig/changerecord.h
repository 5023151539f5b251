#ifndef CHANGERECORD_H
#define CHANGERECORD_H

#include <string>

// What a tunnel changed in the machine's network set-up, kept in a file of
// the run folder so that whoever comes next (OpenVPN's down script, the
// launcher once OpenVPN has gone, the service at its next start) can undo
// it. Each change is written down before it is made. All access holds the
// folder's lock, so two of them never undo at once.
class ChangeRecord
{
public:
    explicit ChangeRecord(const std::string& runDir);
    ~ChangeRecord();
    ChangeRecord(const ChangeRecord&) = delete;
    ChangeRecord& operator=(const ChangeRecord&) = delete;

    // Makes the folder when asked to; refuses one other users could write.
    bool lock(bool createFolder, std::string* error);
    bool exists() const;
    // Fills the fields from the file; false when there is none or it is unreadable.
    bool load();
    bool save(std::string* error);
    // Removes the record and the kept resolver file.
    void remove();

    bool empty() const;
    // The record names the network namespace it was made in: another
    // namespace's changes are not this one's to undo.
    bool madeHere() const { return netns == currentNamespace(); }
    static std::string currentNamespace();

    std::string keptResolvConfPath() const { return m_runDir + "/resolv.conf.original"; }

    std::string netns;
    // DNS: the method's name, the tunnel interface.
    std::string dnsMethod;
    std::string dnsInterface;
    // The resolver file method: the file, how it was ("file" with its
    // contents kept beside the record, "link" to a target, "missing"), its
    // mode, and a checksum of what was written in its place.
    std::string resolvConf;
    std::string resolvConfKind;
    std::string resolvConfLink;
    unsigned resolvConfMode = 0644;
    std::string resolvConfWritten;
    // The host route to the VPN server, while OpenVPN's own.
    bool hostRouteExisted = false;
    std::string hostRoute;        // address
    std::string hostRouteGateway;
    std::string hostRouteDevice;
    bool ipv6Blocked = false;

private:
    std::string recordPath() const { return m_runDir + "/network-changes"; }

    std::string m_runDir;
    int m_lockFd = -1;
};

// A checksum that tells one text from another (64-bit FNV-1a, in hex).
std::string textChecksum(const std::string& text);

#endif // CHANGERECORD_H
