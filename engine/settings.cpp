// The settings that describe fwstack to the update engine.
#include "engine/settings.h"

#include "engine/deployment.h"

void MakeUpdateSettings(Text versionText, UpdateSettings* out) {
    *out = UpdateSettings{};
    out->programName = TextOf("fwstack");
    out->updateInfoAddress = TheDeployment().updateInfoAddress;
    out->publisher = TextOf("Kelvardo s.r.o.");
    out->productName = TextOf("Ferrowstack");
    out->versionText = versionText;
    out->maxDownloadSize = 0;
    out->options = 0;
}
