/* The baseline's native side: call a function that fills 16 doubles, n times,
 * either on the calling thread or on a new thread that never ran Python.
 * Loaded with ctypes.CDLL, which lets go of the interpreter lock for the call,
 * so each callback takes it back just as the library's callbacks do. The caller
 * times the call: one call into C per run adds well under a microsecond to runs
 * of thousands of callbacks. */
#include <pthread.h>
#include <stdint.h>

typedef void (*fill_matrix)(double* out);

/* n calls on this thread. */
int bench_call_here(fill_matrix fill, double* out, int64_t n) {
    for (int64_t i = 0; i < n; ++i) fill(out);
    return 0;
}

struct job {
    fill_matrix fill;
    double* out;
    int64_t n;
};

static void* run_job(void* p) {
    struct job* j = (struct job*)p;
    bench_call_here(j->fill, j->out, j->n);
    return NULL;
}

/* n calls on a new thread, started and joined here (as the library's
 * zbctl_call_threads does); -1 when no thread could be started. */
int bench_call_thread(fill_matrix fill, double* out, int64_t n) {
    struct job j = {fill, out, n};
    pthread_t thread;
    if (pthread_create(&thread, NULL, run_job, &j) != 0) return -1;
    pthread_join(thread, NULL);
    return 0;
}
