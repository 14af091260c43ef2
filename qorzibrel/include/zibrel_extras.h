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

/* The application's settings for the next connection that the calling thread
   opens (ZbCreate) with this profile hint: "key = value" lines of the settings
   file's format (docs/navigation-library.md). The connection applies them over
   the library's defaults and under the user's settings file and the environment,
   and keeps them for its life; the next ZbCreate of another profile, or of
   another thread, does not see them. A NULL or empty text withdraws them.
   Returns 0; -1 when a line is faulty (nothing is kept, and error gets one
   sentence per faulty line naming its key: "setting 'KEY': ..."); -2 when
   profile is NULL or empty. */
int zbx_application_settings(const char* profile, const char* text, char* error, size_t error_len);

/* A file descriptor that is readable while device input waits for a frame of
 * any connection (for an idle event loop to wait on instead of polling); -1
 * when not available. The library owns it; never close it, never read it. */
int zbx_input_fd(void);

/* The settings values a new connection would get now: ZIBREL_CONFIG and
   ZIBREL_DEVICE read as ZbCreate reads them, then keys[i] = values[i] for
   i < count applied after them, each as that line of a settings file would be
   (keys and values may be NULL when count is 0).
   A UTF-8 JSON text, written and returned as zbx_device_info does:
   {"settings_file": PATH or null, "motion_timeout_ms": MS,
    "problems": [...], the file's and ZIBREL_DEVICE's, as the library reports them,
    "refused": [...], for each key given: null when it applied, else why not}. */
size_t zbx_settings(const char* const* keys, const char* const* values, size_t count, char* buf, size_t len);

/* A camera as the view commands read and write it, in the properties' own
   convention (docs/navigation-library.md, "What a frame does"). */
typedef struct zbx_view {
    double affine[16];    /* "view.affine": camera-to-world, row by row */
    int32_t perspective;  /* "view.perspective": nonzero for a perspective view */
    double fov;           /* perspective: "view.fov", the full horizontal angle in radians */
    double fov_vertical;  /* perspective: the full vertical angle; 0 when unknown (then taken as fov) */
    double extents[6];    /* orthographic: "view.extents", min corner then max corner, camera coordinates */
} zbx_view;

/* The camera after a view command, as a device button bound to view:NAME moves
   it: `name` is fit, front, back, left, right, top, bottom or iso.
   `coordinate_system` ("coordinateSystem": columns right, up and toward the front
   viewer) and `front` ("views.front") are 16 doubles row by row, or NULL for the
   identity; `model` is "model.extents", 6 doubles. Writes `out` (which may be
   `view`): the new affine and, in an orthographic view, the new extents.
   0 on success; -1 and the reason in `error` for an unknown name, a camera that
   is no pose, an angle outside (0, pi), empty extents, an axis matrix that is no
   rotation, or model extents that are empty or not finite. */
int zbx_view_command(const char* name, const zbx_view* view, const double* coordinate_system, const double* front,
                     const double* model, zbx_view* out, char* error, size_t error_len);

#ifdef __cplusplus
}
#endif

#endif
