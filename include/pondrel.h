/*
 * pondrel.h: what an application needs to talk to the pondrel driver.
 *
 * Plain C, usable from user-mode Windows programs, from kernel code and from
 * programs that only need the numbers. Nothing here allocates or links:
 * constants, names and the device-interface class. It may be included before
 * or after <windows.h>: on Windows it includes <guiddef.h> itself, so that
 * GUID_DEVINTERFACE_PONDREL is there in either order.
 *
 * Find the device by its interface class (SetupDiGetClassDevs with
 * GUID_DEVINTERFACE_PONDREL and DIGCF_DEVICEINTERFACE), or open it by its
 * fixed name. A handle on the device alone serves the control codes; a
 * handle on a bulk pipe (the device's path followed by \PIPEn) serves
 * ReadFile, WriteFile and IOCTL_PIPE_RESET. Every outcome is the status the
 * driver completes the request with, which GetLastError gives as its Win32
 * error; the application page (application-header.md) has the table of both
 * and what each means.
 *
 * Reads share one receive buffer per device, for all its IN pipes, and one
 * read at a time owns it; the others wait, in the order they came, whatever
 * their pipe or handle. The owner's bus reads fill the buffer from the
 * owner's pipe, and a read completes only once it has every byte it asked
 * for. So bytes that arrived on one pipe beyond what its read asked for are
 * returned to the next read, whatever that read's pipe; and a read pending
 * on a quiet pipe holds up the reads on all the others until it is
 * satisfied or cancelled. What works: read from one IN pipe only, or from
 * one reader thread per device that asks for exactly what the device sends
 * next; and give each read a timeout (overlapped I/O, then CancelIoEx).
 */
#ifndef PONDREL_H
#define PONDREL_H

#if defined(_WIN32) && !defined(GUID_DEFINED)
#include <guiddef.h>
#endif

/*
 * Device-control codes: CTL_CODE(FILE_DEVICE_UNKNOWN, 0x111 to 0x113,
 * METHOD_BUFFERED, FILE_ANY_ACCESS). None takes input.
 */
/* Output: the configuration descriptor with everything that follows it,
 * wTotalLength bytes. All or nothing: a shorter buffer fails with
 * STATUS_BUFFER_TOO_SMALL (ERROR_INSUFFICIENT_BUFFER) and reports no size,
 * so pass PONDREL_CONFIGURATION_LENGTH_MAX bytes. */
#define IOCTL_FETCH_CONFIGURATION 0x00220444u
/* Resets the device's port when it is connected but not enabled. */
#define IOCTL_PORT_RESET 0x00220448u
/* Resets the pipe of the handle it is sent on, clearing a halt (a stall). */
#define IOCTL_PIPE_RESET 0x0022044Cu

/* The largest wTotalLength: a buffer this long takes any configuration. */
#define PONDREL_CONFIGURATION_LENGTH_MAX 65535u

/*
 * The device-interface class that the driver registers and enables for each
 * device it serves: {6D3A1F52-8C47-4E09-B2D6-5F18A3C7E904}.
 */
#define PONDREL_INTERFACE_GUID_INIT \
    { 0x6D3A1F52, 0x8C47, 0x4E09, { 0xB2, 0xD6, 0x5F, 0x18, 0xA3, 0xC7, 0xE9, 0x04 } }
#define PONDREL_INTERFACE_GUID_STRING "{6D3A1F52-8C47-4E09-B2D6-5F18A3C7E904}"

/*
 * Names. The device is \\.\pondrel; pipe n of the device's first interface
 * is that name followed by \PIPEn. The driver reads the pipe index from the
 * last run of digits of what follows the device's name, so the interface's
 * link name followed by \PIPEn works as well.
 */
#define PONDREL_DEVICE_PATH "\\\\.\\pondrel"
#define PONDREL_DEVICE_PATH_W L"\\\\.\\pondrel"
#define PONDREL_PIPE_PREFIX "\\PIPE"
#define PONDREL_PIPE_PREFIX_W L"\\PIPE"
/* PONDREL_PIPE_PATH(1) is "\\\\.\\pondrel\\PIPE1". The macro pastes its
 * argument as text, so it takes a literal digit only: PONDREL_PIPE_PATH(i)
 * names a pipe "PIPEi", which does not exist. */
#define PONDREL_PIPE_PATH(index) PONDREL_DEVICE_PATH PONDREL_PIPE_PREFIX #index
#define PONDREL_PIPE_PATH_W(index) PONDREL_DEVICE_PATH_W PONDREL_PIPE_PREFIX_W #index
/* For an index known at run time (an unsigned int), format it:
 *   swprintf(path, count, PONDREL_PIPE_PATH_FORMAT_W, index);
 *   swprintf(path, count, L"%ls" PONDREL_PIPE_SUFFIX_FORMAT_W, linkName, index);
 * the second after an interface's link name from the SetupAPI. */
#define PONDREL_PIPE_SUFFIX_FORMAT "\\PIPE%u"
#define PONDREL_PIPE_SUFFIX_FORMAT_W L"\\PIPE%u"
#define PONDREL_PIPE_PATH_FORMAT PONDREL_DEVICE_PATH PONDREL_PIPE_SUFFIX_FORMAT
#define PONDREL_PIPE_PATH_FORMAT_W PONDREL_DEVICE_PATH_W PONDREL_PIPE_SUFFIX_FORMAT_W

/*
 * Limits. Pipes 0 to 5 of the first interface can be opened (an interface
 * with more endpoints has its others unreachable); reads and writes go to
 * bulk pipes only, reads to IN pipes and writes to OUT pipes, and any other
 * handle fails them with STATUS_INVALID_HANDLE (ERROR_INVALID_HANDLE). A
 * read or write moves 1 to 65536 bytes: a longer one fails with
 * STATUS_INVALID_PARAMETER (ERROR_INVALID_PARAMETER), a zero-length one
 * succeeds at once and moves nothing (no zero-length packet is sent). A read
 * ends only when all the bytes asked for have arrived.
 */
#define PONDREL_PIPE_INDEX_MIN 0
#define PONDREL_PIPE_INDEX_MAX 5
#define PONDREL_PIPE_COUNT_MAX 6
#define PONDREL_TRANSFER_MIN 1
#define PONDREL_TRANSFER_MAX 65536

#endif /* PONDREL_H */

/*
 * The interface class as a GUID object, for SetupDiGetClassDevs and
 * CM_Get_Device_Interface_List. On Windows the header has just included
 * <guiddef.h>. Elsewhere the object appears at the first inclusion after
 * GUID is defined (with GUID_DEFINED), which is why it stands outside the
 * include guard.
 */
#if defined(GUID_DEFINED) && !defined(PONDREL_GUID_OBJECT_DEFINED)
#define PONDREL_GUID_OBJECT_DEFINED
#if defined(__GNUC__)
static const GUID GUID_DEVINTERFACE_PONDREL __attribute__((unused)) = PONDREL_INTERFACE_GUID_INIT;
#else
static const GUID GUID_DEVINTERFACE_PONDREL = PONDREL_INTERFACE_GUID_INIT;
#endif
#endif
