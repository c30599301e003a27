/* The few configuration facts that the interpreter's headers need for a
 * 64-bit Windows build against the stable ABI, for the cross-compile check
 * (the headers come from a Linux interpreter; its pyconfig.h is Linux's). */
#ifndef PY_CONFIG_H
#define PY_CONFIG_H

#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define Py_WINVER 0x0602
#define Py_NTDDI NTDDI_WIN8

#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_SHORT 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_FCNTL_H 1
#define HAVE_ERRNO_H 1
#define HAVE_LARGEFILE_SUPPORT
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_FORMAT_SIZE_T "I"

#include <basetsd.h>
typedef SSIZE_T ssize_t;
#define HAVE_SSIZE_T 1

#endif
