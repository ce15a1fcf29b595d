#pragma once
// The listener delegate: accepts every client and gives each its own
// FenwaServiceXPC, whose entry points the client's calls reach.

#include "BusService.h"
#include "FamilyConfig.h"

#include <string>
#include <vector>

class CancelWatcher;
class DescriptorBudget;

class FenwaXPCServiceDelegate : public BusListenerDelegate {
public:
    FenwaXPCServiceDelegate(StringForm stringForm, CancelWatcher& watcher, DescriptorBudget& descriptors);

    // Always true: no client is refused and the peer is not examined.
    bool shouldAcceptNewConnection(BusPeer& peer) override;

    // Interrupts every running network call and every one still to start.
    void serviceStopping() override;

    // The six entry points, in protocol order, as the bus names them.
    static std::vector<BusMethod> methods();

private:
    StringForm stringForm_;
    CancelWatcher& watcher_;
    DescriptorBudget& descriptors_;
};
