// The check step: fetch and parse the update information, then compare versions.
#include "base/bytes.h"
#include "engine/run.h"
#include "files/installed_version.h"
#include "info/update_info.h"
#include "info/update_url.h"
#include "info/version.h"
#include "net/http_get.h"

void CheckStep(const UpdateSettings& settings, UpdateRun* run) {
    if (run->state != Initial) {
        FailRun(run, StepsOutOfOrder);
        return;
    }
    bool allowLocalHttp = (settings.options & AllowLocalHttp) != 0;

    FillBytes(&run->transfer, 0, sizeof run->transfer);
    bool got = HttpGetToBuffer(settings, settings.updateInfoAddress.bytes,
                               settings.updateInfoAddress.length, run->document,
                               DocumentCapacity, &run->transfer);
    if (run->transfer.stage == static_cast<u32>(HttpStage::Cancelled)) {
        FailRun(run, Cancelled);
        return;
    }
    // A redirect or any status but 200 is as good as no document.
    if (!got || run->transfer.stage != 0 || run->transfer.status != 200 ||
        run->transfer.bytes > DocumentCapacity) {
        FailRun(run, InfoNotDelivered);
        return;
    }
    run->documentLength = run->transfer.bytes;

    const char* document = reinterpret_cast<const char*>(run->document);
    UpdateInfo info = FreshUpdateInfo();
    if (!ParseUpdateInfo(document, run->documentLength, settings.programName.bytes,
                         settings.programName.length, allowLocalHttp, &info)) {
        FailRun(run, InfoMalformed);
        return;
    }
    // A keyed host trusts nothing the document says, not even its server,
    // until the signature is verified.
    const u32 signedError =
        SignedInfoError(settings, run->document, run->documentLength, info, true);
    if (signedError != NoError) {
        FailRun(run, signedError);
        return;
    }
    run->info = info;
    run->available = info.version;

    // The server rule goes first, so an announcement that points elsewhere is
    // never taken for "up to date".
    bool same = SameUpdateServer(settings.updateInfoAddress.bytes,
                                 settings.updateInfoAddress.length, document + info.url.start,
                                 info.url.end - info.url.start, allowLocalHttp);
    bool newer = IsNewerVersion(run->available, run->installed);
    if (!same) {
        FailRun(run, DownloadNotOnServer);
        return;
    }
    run->state = newer ? Available : UpToDate;
    // A host that runs on after an update of its file still holds the
    // settings' version text of its start: the file itself says whether the
    // announced release is already in place. (Without a version text the
    // installed version was read from the file at the start of the run.)
    Version held = FreshVersion();
    if (newer && settings.versionText.length != 0 &&
        ReadInstalledVersion(run->paths.program, &held) && !IsNewerVersion(run->available, held)) {
        run->state = Installed;
    }
}
