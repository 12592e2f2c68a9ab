#include "Logging.h"

Q_LOGGING_CATEGORY(lcAdvertiser, "com.pivra.menubar.LocalPairingAdvertiser")
Q_LOGGING_CATEGORY(lcStore, "com.pivra.menubar.BridgeMenuBarStore")
Q_LOGGING_CATEGORY(lcService, "com.pivra.menubar.BridgeControlService")
Q_LOGGING_CATEGORY(lcRunner, "com.pivra.menubar.ShellCommandRunner")
