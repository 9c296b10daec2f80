// One build of the sample installer (SETUP_CANCELLED, SETUP_STUCK: 0 or 1).
#include "bank_client_setup_variant.h"

extern const bool kSetupCancelled = SETUP_CANCELLED;
extern const bool kSetupStuck = SETUP_STUCK;
