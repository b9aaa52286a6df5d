// The signed-document check that a keyed host's settings carry.
#include "engine/publisher_key_check.h"

#include "engine/signed_info.h"

extern const SignedInfoCheck kPublisherKeyCheck = CheckSignedInfo;
