// A keyed host's document: the tail must parse, a trusted key must have signed it, in time.
#include "engine/signed_info.h"

#include "engine/run.h"
#include "info/signed_tail.h"
#include "verify/publisher_signature.h"
#include "verify/sha256.h"

u32 CheckSignedInfo(const UpdateSettings& settings, const char* document, u64 length,
                    u64 tailStart, bool checkExpiry) {
    SignedTail tail;
    if (settings.publisherKey == nullptr || !ParseSignedTail(document, length, tailStart, &tail)) {
        return InfoNotSigned;
    }
    u8 digest[32];
    Sha256(document, tail.signedLength, digest);
    const bool signedByKey =
        VerifyPublisherSignature(settings.publisherKey, digest, tail.signature) ||
        (settings.secondPublisherKey != nullptr &&
         VerifyPublisherSignature(settings.secondPublisherKey, digest, tail.signature));
    if (!signedByKey) return InfoNotSigned;
    // The expiry is trusted only once signed: an unsigned date says nothing.
    if (checkExpiry && tail.expires < SystemClockSeconds()) return InfoExpired;
    return NoError;
}
