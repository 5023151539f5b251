#include "processaccount.h"

#include <windows.h>

#include <sddl.h>

#include <memory>
#include <vector>

namespace {

struct HandleCloser {
    void operator()(void* handle) const
    {
        if (handle)
            CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The token's user SID, copied out of a buffer of the size the system asks.
bool tokenUser(HANDLE token, std::vector<BYTE>* buffer)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0 || size > 4096)
        return false;
    buffer->resize(size);
    return GetTokenInformation(token, TokenUser, buffer->data(), size, &size) != 0;
}

PSID userSid(std::vector<BYTE>& buffer)
{
    return reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
}

QString sidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return QStringLiteral("an unreadable account");
    const QString result = QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

bool isAdministrator(HANDLE token)
{
    HANDLE impersonation = nullptr;
    if (!DuplicateToken(token, SecurityIdentification, &impersonation))
        return false;
    const Handle owned(impersonation);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators))
        return false;
    BOOL member = FALSE;
    const bool checked = CheckTokenMembership(impersonation, administrators, &member) != 0;
    FreeSid(administrators);
    return checked && member;
}

} // namespace

namespace ProcessAccount {

Kind ofProcess(unsigned long pid, QString* name)
{
    *name = QStringLiteral("process %1").arg(pid);
    const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process)
        return Kind::Unknown;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE, &token))
        return Kind::Unknown;
    const Handle peerToken(token);
    std::vector<BYTE> peer;
    if (!tokenUser(token, &peer))
        return Kind::Unknown;
    *name = QStringLiteral("%1 (process %2)").arg(sidText(userSid(peer))).arg(pid);

    if (IsWellKnownSid(userSid(peer), WinLocalSystemSid))
        return Kind::LocalSystem;
    HANDLE ownToken = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &ownToken)) {
        const Handle owned(ownToken);
        std::vector<BYTE> own;
        if (tokenUser(ownToken, &own) && EqualSid(userSid(own), userSid(peer)))
            return Kind::SameUser;
    }
    return isAdministrator(token) ? Kind::Administrator : Kind::Other;
}

} // namespace ProcessAccount
