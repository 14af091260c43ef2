/* An application's own input source for our navigation library.
 *
 * Besides the devices it reads itself (spacenavd, HID devices, device files),
 * the library takes samples and button events from the application: a device
 * the application reads on its own, a network or a recording can feed the
 * navigation this way. docs/navigation-library.md describes it. Tests use
 * these two functions too; the rest of the control interface, which only
 * tests need, exists in the library's test variant alone
 * (src/testing/zibrel_test_control.h).
 */
#ifndef ZIBREL_CONTROL_H
#define ZIBREL_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- device input ------------------------------------------------------------ */

/* Push a sample of the six device axes (x y z rx ry rz, fractions of full
 * deflection; beyond +-1 is clamped) to conn's engine, or to the newest open
 * connection when conn is 0. t_ms is the sample's time on the frame clock in
 * milliseconds (the clock of "frame.time", or the library's steady clock with
 * its own timer); t_ms < 0 means "now": the sample is used by the next frame.
 * A sample holds until the next one or until the motion timeout passes, as a
 * real device's events do. The first sample or button arms a connection that
 * had no device source, and starts the library's timer when that drives the frames.
 * Returns 0; -1 for an unknown or closed connection; -2 for a sample with a
 * value that is not finite (it is dropped). */
int zbctl_device_sample(uint64_t conn, double t_ms, double x, double y, double z, double rx, double ry, double rz);
/* A button press (pressed != 0) or release at t_ms, as above. Returns 0 or -1. */
int zbctl_device_button(uint64_t conn, double t_ms, int button, int pressed);

#ifdef __cplusplus
}
#endif

#endif
