/* What our navigation library offers beyond its five entry points, for tools
   and the pyzibrel package. C, exported; docs/navigation-library.md describes it. */
#ifndef ZIBREL_EXTRAS_H
#define ZIBREL_EXTRAS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, as the pyzibrel package it ships with numbers it
   ("0.1.0"): a NUL-terminated text that stays valid while the library is loaded. */
const char* zbx_version(void);

/* Device information, probed now without a connection, for the current
   environment's settings (ZIBREL_DEVICE, ZIBREL_CONFIG, ZIBREL_HID_ROOT,
   SPNAV_SOCKET). A UTF-8 JSON text; writes at most len bytes including a
   terminating NUL; returns the full length of the text without the NUL (call
   again with a larger buffer when the result is >= len). */
size_t zbx_device_info(char* buf, size_t len);

/* Raw device input without a connection, for monitors and recorders. */
typedef struct zbx_event {
    double t_ms;    /* ms since zbx_monitor_open, steady clock */
    int32_t kind;   /* 0 motion, 1 press, 2 release */
    int32_t button; /* press, release */
    double axes[6]; /* motion: x y z rx ry rz as fractions of full deflection, clamped to [-1, 1],
                       before dead zone and inversion (what a device file holds) */
} zbx_event;

/* Opens the configured sources; NULL and a message in error on failure (no
   source configured, or none of them can deliver input now). */
void* zbx_monitor_open(char* error, size_t error_len);
/* Events since the last read, oldest first, at most max_events (the rest stay
   queued, bounded); waits up to timeout_ms for the first one; 0 on timeout,
   -1 on error. */
int zbx_monitor_read(void* monitor, zbx_event* events, int max_events, int timeout_ms);
void zbx_monitor_close(void* monitor);

/* A file descriptor that is readable while device input waits for a frame of
 * any connection (for an idle event loop to wait on instead of polling); -1
 * when not available. The library owns it; never close it, never read it. */
int zbx_input_fd(void);

#ifdef __cplusplus
}
#endif

#endif
