/* bb_c_host.h - round trips of every type code written in C (bb_c_host.c). */
#ifndef BB_C_HOST_H
#define BB_C_HOST_H

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when every check passed, else the line of the first failed check. */
int c_host_scalars(void);
int c_host_arrays(void);

#ifdef __cplusplus
}
#endif

#endif
