// SPDX-License-Identifier: MIT
// The library's version, as the public header of its build states it.
#include "internal.h"

const char *n_util_version(void)
try {
    return NIMBET_VERSION_STRING;
} catch (...) {
    return nimbet::failed_by_exception(n_util_version);
}
