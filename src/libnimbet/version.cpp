// SPDX-License-Identifier: MIT
// The library's version, as the public header of its build states it.
#include "nimbet/nimbet.h"

const char *n_util_version(void)
{
    return NIMBET_VERSION_STRING;
}
