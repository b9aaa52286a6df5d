// fwstack sets no publisher key: its link takes this null check instead of
// the library's, and so leaves the signature code out.
#include "engine/publisher_key_check.h"

extern const SignedInfoCheck kPublisherKeyCheck = nullptr;
