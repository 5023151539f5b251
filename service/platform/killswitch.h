#ifndef KILLSWITCH_H
#define KILLSWITCH_H

#include <QString>
#include <QStringList>

// The kill switch's firewall: one table of the service's own that lets
// nothing out but the tunnel, the VPN server's own packets and (when
// allowed) the local network, and the record that a tunnel is wanted,
// which outlives a service that is killed or restarted. Every call may run
// a system tool: none of them belongs on the main event loop.
namespace KillSwitch {

struct Plan
{
    QString host;
    QStringList serverAddresses;
    bool allowLocalNetwork = true;
};

// Puts the block up (replacing one that stands, in one step) and records
// the plan; false with the reason when the block does not stand.
bool block(const Plan& plan, QString* error);
// Takes the block down and forgets the plan; a block that is absent is
// lifted already.
bool lift(QString* error);
// Whether the block is there; false with the reason when that cannot be told.
bool blockPresent(bool* present, QString* error);
// The plan recorded by a run of the service before this one, if any.
bool wantedPlan(Plan* plan);
void forgetPlan();

} // namespace KillSwitch

#endif // KILLSWITCH_H
