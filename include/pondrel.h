/*
 * pondrel.h: what an application needs to talk to the pondrel driver.
 *
 * Plain C, usable from user-mode Windows programs, from kernel code and from
 * programs that only need the numbers (GUID_DEVINTERFACE_PONDREL is there
 * once <windows.h> or <guiddef.h> is included). Nothing here allocates or links: constants, names and the
 * device-interface class.
 *
 * Find the device by its interface class (SetupDiGetClassDevs with
 * GUID_DEVINTERFACE_PONDREL and DIGCF_DEVICEINTERFACE), or open it by its
 * fixed name. A handle on the device alone serves the control codes; a
 * handle on a pipe (the device's path followed by \PIPEn) serves ReadFile,
 * WriteFile and IOCTL_PIPE_RESET.
 */
#ifndef PONDREL_H
#define PONDREL_H

/*
 * Device-control codes: CTL_CODE(FILE_DEVICE_UNKNOWN, 0x111 to 0x113,
 * METHOD_BUFFERED, FILE_ANY_ACCESS). None takes input.
 */
/* Output: the configuration descriptor with everything that follows it
 * (wTotalLength bytes); STATUS_BUFFER_TOO_SMALL when the buffer is shorter. */
#define IOCTL_FETCH_CONFIGURATION 0x00220444u
/* Resets the device's port when it is connected but not enabled. */
#define IOCTL_PORT_RESET 0x00220448u
/* Resets the pipe of the handle it is sent on. */
#define IOCTL_PIPE_RESET 0x0022044Cu

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
/* PONDREL_PIPE_PATH(1) is "\\\\.\\pondrel\\PIPE1"; the index is a literal digit. */
#define PONDREL_PIPE_PATH(index) PONDREL_DEVICE_PATH PONDREL_PIPE_PREFIX #index
#define PONDREL_PIPE_PATH_W(index) PONDREL_DEVICE_PATH_W PONDREL_PIPE_PREFIX_W #index

/*
 * Limits. Pipes 0 to 5 of the first interface can be opened (an interface
 * with more endpoints has its others unreachable). A read or write moves 1 to
 * 65536 bytes: a longer one fails with STATUS_INVALID_PARAMETER (Win32
 * ERROR_INVALID_PARAMETER), a zero-length one succeeds at once and moves
 * nothing. A read ends only when all the bytes asked for have arrived.
 */
#define PONDREL_PIPE_INDEX_MIN 0
#define PONDREL_PIPE_INDEX_MAX 5
#define PONDREL_PIPE_COUNT_MAX 6
#define PONDREL_TRANSFER_MIN 1
#define PONDREL_TRANSFER_MAX 65536

#endif /* PONDREL_H */

/*
 * The interface class as a GUID object, for SetupDiGetClassDevs and
 * CM_Get_Device_Interface_List. Outside the include guard on purpose: it
 * appears once a header that defines GUID (<windows.h>, <guiddef.h>) has
 * been included, even when this header was included before that one.
 */
#if defined(GUID_DEFINED) && !defined(PONDREL_GUID_OBJECT_DEFINED)
#define PONDREL_GUID_OBJECT_DEFINED
#if defined(__GNUC__)
static const GUID GUID_DEVINTERFACE_PONDREL __attribute__((unused)) = PONDREL_INTERFACE_GUID_INIT;
#else
static const GUID GUID_DEVINTERFACE_PONDREL = PONDREL_INTERFACE_GUID_INIT;
#endif
#endif
