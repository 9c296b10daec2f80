// What tells the builds of the sample installer apart. The installer itself is compiled once;
// each build links it with its own bank_client_setup_variant.cpp.
#pragma once

extern const bool kSetupCancelled; // ends at once as cancelled by its user
extern const bool kSetupStuck;     // installs, then waits for the process that started it
