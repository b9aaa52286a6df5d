// The values that one build of the program is deployed with.
#pragma once

#include "base/types.h"

// Set at build time: the version text of this build, the update information
// address "https://<server>/downloads/fwstack/latest.txt" and the downloads
// page "https://<server>/downloads/fwstack/" of the same server.
struct Deployment {
    Text versionText;
    Text updateInfoAddress;
    Text downloadsPage;
};

Deployment TheDeployment();
