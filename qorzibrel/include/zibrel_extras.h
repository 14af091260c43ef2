/* What our navigation library offers beyond the five entry points, for tools
 * and the pyzibrel package. Plain C; the library exports these functions.
 */
#ifndef ZIBREL_EXTRAS_H
#define ZIBREL_EXTRAS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A file descriptor that is readable while device input waits for a frame of
 * any connection (for an idle event loop to wait on instead of polling); -1
 * when not available. The library owns it; never close it, never read it. */
int zbx_input_fd(void);

#ifdef __cplusplus
}
#endif

#endif
