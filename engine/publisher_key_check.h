// How the library's calls reach the check of a keyed host's signed document.
#pragma once

#include "engine/settings.h"

// CheckSignedInfo in the library and the tests. The program fwstack, which
// sets no key, links its own null instead (app/no_key_check_win32.cpp), so
// that the signature code and its CNG calls stay out of it.
extern const SignedInfoCheck kPublisherKeyCheck;
