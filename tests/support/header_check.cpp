// SPDX-License-Identifier: MIT
// The public header as a C++17 program sees it; built with -Wpedantic -Werror.
#include <nimbet/nimbet.h>

const char *nimbet_header_check_cxx();
const char *nimbet_header_check_cxx()
{
    return NIMBET_VERSION_STRING;
}
