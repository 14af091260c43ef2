/* The control interface of our navigation library's test variant.
 *
 * The application only ever talks to the library through the five entry points
 * and the accessor callbacks. Tests need more: to make the library call the
 * application's accessors on demand, from chosen threads, to make an entry point
 * fail, and to see what the application wrote. These plain C functions give
 * that; native tests call them directly, Python tests through ctypes. Only the
 * test variant (CMake target QorZibrel_test, built with QORZIBREL_TEST_SEAMS)
 * has them: the installed libQorZibrel.so exports none of them.
 *
 * Values are passed as pointers to the 136-byte value record. Text written by
 * the application is copied by the library at write time.
 */
#ifndef ZIBREL_TEST_CONTROL_H
#define ZIBREL_TEST_CONTROL_H

#include <stddef.h>
#include <stdint.h>

/* The product's own control functions (device input) are in the test variant too. */
#include "zibrel_control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- connections ---------------------------------------------------------- */

/* Closed connections stay known for inspection until zbctl_reset, or until 16
 * more connections have closed after them; then the library frees them (once
 * no thread of the library still holds them), and they count as unknown. */

/* The most recently created connection that is still open, or 0. */
uint64_t zbctl_last_connection(void);
/* Number of connections currently open. */
int zbctl_open_connections(void);
/* Number of connection objects not yet freed: open ones, closed ones kept for
 * inspection, and closed ones a thread of the library still holds (a frame or
 * a caller thread in progress). */
int64_t zbctl_live_connections(void);
/* Number of successful ZbCreate calls, and of all ZbClose calls (a refused
 * second close counts too), since load (or the last reset). */
uint64_t zbctl_create_count(void);
uint64_t zbctl_close_count(void);

/* The accessor array copied at create. Returns the entry count, or -1 for an
 * unknown connection (open and kept closed connections are both known). */
int zbctl_accessor_count(uint64_t conn);
/* Entry i: its name (library-owned copy, valid while the connection is known),
 * whether it has a getter and a setter, its cookie.
 * Returns 0, or -1 when conn or i is unknown. */
int zbctl_accessor_at(uint64_t conn, int i, const char** name, int* has_getter, int* has_setter,
                      uint64_t* cookie);
/* The profile given at create, copied into buf (NUL-terminated, cut to len-1).
 * Returns the profile's full length, or -1 for an unknown connection. */
int zbctl_profile(uint64_t conn, char* buf, size_t len);
/* The create_options record given at create. Returns 0, or -1 for an unknown connection. */
int zbctl_options(uint64_t conn, uint32_t* size, int* multi_threaded, uint32_t* option_flags);

/* ---- calling the application's accessors ----------------------------------- */

/* Call the getter (zbctl_get) or setter (zbctl_set) registered for property on
 * conn, on the calling thread, with the entry's own cookie and name pointer.
 * The first entry of that name with such a function is used; value is passed
 * on as it is. Closed connections can be called too (as a misbehaving library would).
 * Returns the accessor's result, or 0x80040201 when conn has no such accessor. */
int32_t zbctl_get(uint64_t conn, const char* property, void* value);
int32_t zbctl_set(uint64_t conn, const char* property, const void* value);

/* Call with an arbitrary cookie (to try unknown or erased cookies): the getter
 * or setter function of property's entry is called with this cookie. */
int32_t zbctl_get_cookie(uint64_t conn, const char* property, uint64_t cookie, void* value);
int32_t zbctl_set_cookie(uint64_t conn, const char* property, uint64_t cookie, const void* value);

/* Run `threads` new threads that each make `calls` calls (getter when set == 0,
 * setter otherwise; each call on a private copy of *value, or of an empty
 * auto_type record when value is null) and wait for them.
 * Returns the number of calls whose result was not 0; *first_failure (when
 * non-null) receives the first such result, or 0. Without such an accessor
 * every call counts as failed with 0x80040201 and no thread is started. */
uint64_t zbctl_call_threads(uint64_t conn, const char* property, int set, const void* value, int threads,
                            int calls, int32_t* first_failure);

/* Background callers that keep calling until stopped. They stop calling by
 * themselves when conn is closed, unless keep_after_close is non-zero (then
 * they go on with the stale cookie, as a misbehaving library would). A call a
 * thread had already begun when the connection closed still completes: ZbClose
 * never waits for the threads. They also stop at process exit.
 * Returns an id > 0, or -1 for an unknown connection, no such accessor or threads <= 0. */
int zbctl_hammer_start(uint64_t conn, const char* property, int set, const void* value, int threads,
                       int keep_after_close);
/* Stop a hammer and wait for its threads. Returns the number of calls made; *failures
 * (when non-null) receives the number of non-zero results. */
uint64_t zbctl_hammer_stop(int id, uint64_t* failures);
/* Calls made so far by a running hammer. */
uint64_t zbctl_hammer_calls(int id);
/* Threads of a hammer that have not finished yet (0 once they stopped by
 * themselves after their connection closed), or -1 for an unknown or stopped id. */
int zbctl_hammer_threads(int id);

/* ---- injected results -------------------------------------------------------- */

/* Make the next `times` calls of entry ("ZbCreate", "ZbReadValue", "ZbWriteValue")
 * return result without doing anything; times < 0 keeps it until cleared,
 * times == 0 clears it. A refused ZbCreate leaves *handle at 0. */
void zbctl_inject(const char* entry, int32_t result, int times);
/* Make every ZbReadValue on an open connection whose record is a string_type
 * buffer report `length` as the text's length and return 0, writing nothing
 * into the buffer, however small it is (a lying library); -1 clears it. */
void zbctl_inject_text_length(int64_t length);

/* ---- what the application wrote ---------------------------------------------- */

/* Number of ZbWriteValue calls for property on conn (any result). */
uint64_t zbctl_write_count(uint64_t conn, const char* property);
/* The last value written for property on conn, copied into *value_out: the
 * record as sent, except that text payloads (string, cstr) point at the
 * library's own NUL-terminated copy of the text, valid until the next write of
 * that property or zbctl_reset; the length field is left as the sender set it.
 * A write the library refused (invalid argument) is not stored. Returns
 * 1 when a value was written, 0 when none was, -1 for an unknown connection. */
int zbctl_written(uint64_t conn, const char* property, void* value_out);
/* The last command tree written as "commands.tree", walked at write time, as
 * text: one line per node in depth-first order, two spaces of indent per level,
 * then "<type> <id>|<label>|<description>" with the type as a decimal number,
 * "-" for a null text, and a newline ending every line. A null root gives empty
 * text; a tree with a node whose size is not 48, or with a node reached twice,
 * is refused by ZbWriteValue (0x80040016) and not kept. Copied into
 * buf (cut to len-1, NUL-terminated); returns the full length, or -1 when no tree. */
int zbctl_tree(uint64_t conn, char* buf, size_t len);

/* A function the library calls inside ZbClose of an open connection, before it
 * forgets the connection, with the connection's handle and no library lock
 * held (it may call the library); null clears it. */
typedef void (*zbctl_close_hook)(uint64_t conn, void* context);
void zbctl_set_close_hook(zbctl_close_hook hook, void* context);

/* ---- the engine -------------------------------------------------------------- */

/* Frames conn's engine has run (frames of an armed engine only), or 0 for an unknown connection. */
uint64_t zbctl_frame_count(uint64_t conn);
/* 1 while conn's engine is in a motion, 0 otherwise, -1 for an unknown connection. */
int zbctl_in_motion(uint64_t conn);

/* Forget closed connections, counters, injections and hooks. Open connections stay. */
void zbctl_reset(void);

#ifdef __cplusplus
}
#endif

#endif
