// The deployment values of this build, from the compiler's command line.
#include "engine/deployment.h"

#ifndef FWSTACK_VERSION
#error "FWSTACK_VERSION must be defined by the build"
#endif
#ifndef FWSTACK_UPDATE_SERVER
#error "FWSTACK_UPDATE_SERVER must be defined by the build"
#endif

namespace {
constexpr char kVersion[] = FWSTACK_VERSION;
constexpr char kInfoAddress[] = "https://" FWSTACK_UPDATE_SERVER "/downloads/fwstack/latest.txt";
constexpr char kDownloadsPage[] = "https://" FWSTACK_UPDATE_SERVER "/downloads/fwstack/";
}  // namespace

// Constant-initialised: no constructor runs before the entry point.
constinit const Deployment TheDeployment = {
    TextOf(kVersion),
    TextOf(kInfoAddress),
    TextOf(kDownloadsPage),
};
