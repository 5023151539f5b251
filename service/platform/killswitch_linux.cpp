#include "killswitch.h"

#include "ipv6block.h"
#include "lockdown.h"
#include "networkconfig.h"

namespace KillSwitch {

namespace {

const int OpenVpnPort = 443;

std::string nftProgram(const NetworkConfig& config)
{
    // The same choice as the launcher's: VARVEX_NFT, else the system's.
    return Ipv6Block::program(config.nft);
}

} // namespace

bool block(const Plan& plan, QString* error)
{
    const NetworkConfig config = NetworkConfig::fromEnvironment();
    Lockdown::WantedRecord record;
    record.host = plan.host.toStdString();
    for (const QString& address : plan.serverAddresses)
        record.rules.serverAddresses.push_back(address.toStdString());
    record.rules.serverPort = OpenVpnPort;
    record.rules.protocol = "udp";
    record.rules.allowLocalNetwork = plan.allowLocalNetwork;

    std::string reason;
    // Written first: a service killed right after the block went up still
    // knows at its next start that the block is meant.
    if (!record.save(config.runDir, &reason) || !Lockdown::apply(nftProgram(config), record.rules, &reason)) {
        *error = QString::fromStdString(reason);
        return false;
    }
    return true;
}

bool lift(QString* error)
{
    const NetworkConfig config = NetworkConfig::fromEnvironment();
    std::string reason;
    if (!Lockdown::remove(nftProgram(config), &reason)) {
        *error = QString::fromStdString(reason);
        return false;
    }
    Lockdown::WantedRecord::remove(config.runDir);
    return true;
}

bool blockPresent(bool* present, QString* error)
{
    std::string reason;
    if (!Lockdown::present(nftProgram(NetworkConfig::fromEnvironment()), present, &reason)) {
        *error = QString::fromStdString(reason);
        return false;
    }
    return true;
}

bool wantedPlan(Plan* plan)
{
    Lockdown::WantedRecord record;
    if (!record.load(NetworkConfig::fromEnvironment().runDir))
        return false;
    plan->host = QString::fromStdString(record.host);
    plan->serverAddresses.clear();
    for (const std::string& address : record.rules.serverAddresses)
        plan->serverAddresses.append(QString::fromStdString(address));
    plan->allowLocalNetwork = record.rules.allowLocalNetwork;
    return true;
}

void forgetPlan()
{
    Lockdown::WantedRecord::remove(NetworkConfig::fromEnvironment().runDir);
}

} // namespace KillSwitch
