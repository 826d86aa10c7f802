/* SPDX-License-Identifier: MIT */
/* A program that uses libnimbet as its users do, through nimbet/nimbet.h and
 * nimbet::nimbet (or pkg-config): it checks that the module in use matches the
 * header, writes a frame with one tuple, and reads the tuple back. */
#include <stdio.h>
#include <string.h>

#include <nimbet/nimbet.h>

#ifdef NIMBET_BUILDING
#error "a definition of the library's own build reached a program that uses it"
#endif

int main(void)
{
    /* header (format 2, the rest zero), tuple "tmp" with 2 bytes, CRC */
    unsigned char frame[PACKET_HEADER_SIZE + 3 + 2 + 2] = {2};
    n_pkt *pkt;
    n_acl *tuple = NULL;
    unsigned char *data = NULL;
    int ok;

    if (strcmp(n_util_version(), NIMBET_VERSION_STRING) != 0) {
        fprintf(stderr, "module %s, header %s\n", n_util_version(), NIMBET_VERSION_STRING);
        return 1;
    }
    n_util_str2acl("tmp", frame + PACKET_HEADER_SIZE);
    frame[PACKET_HEADER_SIZE + 2] = 2;
    frame[PACKET_HEADER_SIZE + 3] = 21;
    frame[PACKET_HEADER_SIZE + 4] = 5;
    n_util_crc16_append(frame, sizeof frame);

    pkt = n_pkt_alloc();
    ok = pkt != NULL && n_pkt_parse(pkt, frame, sizeof frame) == 0 &&
         n_acl_findfirst_str(pkt, "tmp", &tuple) == 0 && n_acl_get_data(tuple, &data) == 2 &&
         data[0] == 21 && data[1] == 5;
    if (!ok)
        n_util_perror("consumer: the frame did not read back: ");
    else
        printf("libnimbet %s: tuple tmp %d.%d read back\n", n_util_version(), data[0], data[1]);
    n_pkt_free(pkt);
    return ok ? 0 : 1;
}
