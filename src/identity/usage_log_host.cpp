// The usage-log host, fixed when the program is built (USAGE_LOG_HOST).
#include "identity/identity.h"

const char kUsageLogHost[] = USAGE_LOG_HOST;
