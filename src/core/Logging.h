#pragma once

#include <QLoggingCategory>

// The core's log categories, one per module, all under "com.pivra.menubar". The advertiser's
// category is also the one its Avahi registrar writes to: both are one subsystem to whoever
// reads the log.
Q_DECLARE_LOGGING_CATEGORY(lcAdvertiser)
Q_DECLARE_LOGGING_CATEGORY(lcStore)
Q_DECLARE_LOGGING_CATEGORY(lcService)
Q_DECLARE_LOGGING_CATEGORY(lcRunner)
