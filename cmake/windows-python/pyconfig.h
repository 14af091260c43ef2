/* The configuration of Windows' 64-bit CPython as an extension module built
   with mingw-w64 sees it: the embeddable distribution ships no headers, so the
   platform-independent headers of a CPython of the same minor version are used
   with this file in place of their own pyconfig.h. Only what an extension's
   compilation reads is here; the sizes are those of the LLP64 model. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define PLATFORM "win32"
#define PY_SUPPORT_TIER 1

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
#define PYLONG_BITS_IN_DIGIT 30

#define HAVE_SSIZE_T 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_STDARG_PROTOTYPES
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1
#define HAVE_DYNAMIC_LOADING
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define LONG_BIT 32
#define WORD_BIT 32
#define USE_SOCKET
#define WITH_PYMALLOC 1
#define Py_WINVER 0x0602
#define Py_NTDDI 0x06020000

#endif
