/* SPDX-License-Identifier: MIT */
/* Compiled as C99: proves the public header serves C users. */
#include <string.h>

#include "nimbet/nimbet.h"

int nimbet_c_header_smoke(void)
{
    n_pkt *pkt = n_pkt_alloc();
    unsigned char data[2] = {1, 2};
    unsigned char *bytes = NULL;
    n_acl *t;
    int ok;
    if (pkt == NULL)
        return 0;
    ok = n_acl_add_str(pkt, "ACM", data, 2, 0) == 0;
    t = n_acl_first(pkt);
    ok = ok && t != NULL && n_acl_get_data(t, &bytes) == 2 && bytes[1] == 2;
    ok = ok && pkt->acl_len == 5 && (pkt->flags & PACKET_HAS_ACL) != 0;
    ok = ok && strcmp(n_util_strerr(227), "Protocol error.") == 0;
    n_errno = 0;
    ok = ok && n_pkt_free(NULL) == -1 && n_errno == 13;
    n_pkt_free(pkt);
    return ok;
}
