// printer-helper-service: started by the bus when a client calls the
// family's name; serves every client until its bus connection closes.

#include "BusNames.h"
#include "BusService.h"
#include "CancelWatcher.h"
#include "FamilyConfig.h"
#include "FenwaXPCServiceDelegate.h"

int main()
{
    // The one watcher of every cancel file; it outlives the bus service,
    // whose destructor answers and joins every call first.
    CancelWatcher watcher;
    FenwaXPCServiceDelegate delegate(kFamily.stringForm, watcher);
    BusService listener(kFamily.serviceName, protocolInterfaceName(kFamily.serviceName, kFamily.protocolUuid),
                        FenwaXPCServiceDelegate::methodNames());
    listener.setDelegate(&delegate);
    return listener.resume();
}
