#pragma once
// The listener delegate: accepts every client and gives each its own
// FenwaServiceXPC, whose entry points the client's calls reach.

#include "BusService.h"
#include "FamilyConfig.h"

class CancelWatcher;
class DescriptorBudget;

class FenwaXPCServiceDelegate : public BusListenerDelegate {
public:
    FenwaXPCServiceDelegate(StringForm stringForm, CancelWatcher& watcher, DescriptorBudget& descriptors);

    // Always true: no client is refused and the peer is not examined.
    bool shouldAcceptNewConnection(BusPeer& peer) override;

    // Interrupts every running network call and every one still to start.
    void serviceStopping() override;

    // Only the network probes wait long; the file operations and the cancel
    // call never queue behind them.
    bool mayWait(Operation operation) const override;

private:
    StringForm stringForm_;
    CancelWatcher& watcher_;
    DescriptorBudget& descriptors_;
};
