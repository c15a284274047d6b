/* bb_c_host.h - the C host round trip of bb_c_host.c. */
#ifndef BB_C_HOST_H
#define BB_C_HOST_H

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when every check passed, else the line of the first failed check. */
int c_host_round_trip(void);

#ifdef __cplusplus
}
#endif

#endif
