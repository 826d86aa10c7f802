/* SPDX-License-Identifier: MIT */
/* The public header as a C99 program sees it; built with -Wpedantic -Werror. */
#include <nimbet/nimbet.h>

const char *nimbet_header_check_c(void);
const char *nimbet_header_check_c(void)
{
    return NIMBET_VERSION_STRING;
}
