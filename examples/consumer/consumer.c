/* consumer.c - a small C program that uses an installed libvorel: it creates
 * the database of its switch instance, stores two connected devices, reads
 * one back and prints its connectivity, then shuts down. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vorel.h>

static DevInfo device(uint32_t pid)
{
    DevInfo d;
    memset(&d, 0, sizeof d);
    d.pid = pid;
    d.spd = 32;
    return d;
}

int main(void)
{
    if (vorellibInit() != 0 || initVorelSrvr() != 0) {
        fprintf(stderr, "consumer: cannot create the database\n");
        return 1;
    }
    DevInfo target = device(0x010200);
    devconpld t = {0, target, 0, NULL, 0};
    DevInfo initiator_dst[1] = {target};
    devconpld i = {0, device(0x010100), 1, initiator_dst, 0};
    int rc = addPidToVorel(&t, VOREL_UPD_DEV_ONLINE, 0);
    if (rc == 0)
        rc = addPidToVorel(&i, VOREL_UPD_DEV_ONLINE, 0);
    devconpld *out = NULL;
    if (rc == 0)
        rc = getPidFromVorel(0x010200, &out);
    if (rc != 0) {
        fprintf(stderr, "consumer: database operation failed: %d\n", rc);
        vorellibUnInit();
        return 1;
    }
    printf("device %06x is connected to %d device(s):", out->src_dev.pid, out->num_dstdevices);
    for (int k = 0; k < out->num_dstdevices; ++k)
        printf(" %06x", out->dst_devices[k].pid);
    printf("\n");
    free(out);
    vorellibUnInit();
    return 0;
}
