/*
 * pondrel_example: finds the pondrel device through its device interface,
 * prints its configuration descriptor's size, writes 64 bytes to pipe 0 and
 * reads them back from pipe 1 (a device whose pipes 0 and 1 loop back).
 *
 * Every transfer is overlapped and given TRANSFER_TIMEOUT_MS: a read ends
 * only when all its bytes have arrived, so one the device does not answer is
 * cancelled with CancelIoEx instead of being waited for for ever (and
 * instead of keeping the device's receive buffer from every other read).
 *
 * Build with mingw-w64:
 *   x86_64-w64-mingw32-gcc -Iinclude docs/example/pondrel_example.c -lsetupapi -o pondrel_example.exe
 */
/* pondrel.h may come before or after <windows.h>. */
#include "pondrel.h"

#include <windows.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define TRANSFER_TIMEOUT_MS 5000
#define OUT_PIPE 0u
#define IN_PIPE 1u

/* Copies the link name of the first present pondrel interface into `path`. */
static BOOL FindDevice(wchar_t *path, size_t capacity)
{
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_PONDREL, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA interfaceData;
    BYTE detailBuffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 512 * sizeof(wchar_t)];
    SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_W *)detailBuffer;
    BOOL found = FALSE;

    if (set == INVALID_HANDLE_VALUE)
        return FALSE;
    interfaceData.cbSize = sizeof interfaceData;
    detail->cbSize = sizeof *detail;
    if (SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_PONDREL, 0, &interfaceData) &&
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, sizeof detailBuffer, NULL, NULL) &&
        wcslen(detail->DevicePath) < capacity) {
        wcscpy(path, detail->DevicePath);
        found = TRUE;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

/* Opens pipe `index` of the device whose link name is `device`, for
 * overlapped I/O. The index is a run-time value, so the name is formatted:
 * PONDREL_PIPE_PATH takes a literal digit only. */
static HANDLE OpenPipe(const wchar_t *device, unsigned index)
{
    wchar_t path[600];
    if (swprintf(path, sizeof path / sizeof path[0], L"%ls" PONDREL_PIPE_SUFFIX_FORMAT_W, device, index) < 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
}

/* One ReadFile or WriteFile on an overlapped pipe handle, waited for at most
 * timeoutMs. A request still pending then is cancelled with CancelIoEx, and
 * its end is waited for all the same: the driver writes into `buffer` and
 * the OVERLAPPED until the request is over. TRUE when all `length` bytes
 * moved; otherwise FALSE with GetLastError set (ERROR_OPERATION_ABORTED for
 * a request cancelled after the timeout). */
static BOOL Transfer(HANDLE pipe, BOOL isRead, BYTE *buffer, DWORD length, DWORD timeoutMs)
{
    OVERLAPPED overlapped;
    DWORD moved = 0;
    DWORD error;
    BOOL done;

    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (overlapped.hEvent == NULL)
        return FALSE;
    done = isRead ? ReadFile(pipe, buffer, length, NULL, &overlapped)
                  : WriteFile(pipe, buffer, length, NULL, &overlapped);
    if (done || GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, timeoutMs) == WAIT_TIMEOUT)
            CancelIoEx(pipe, &overlapped);
        done = GetOverlappedResult(pipe, &overlapped, &moved, TRUE);
    }
    error = done ? ERROR_SUCCESS : GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    return done && moved == length;
}

static int Fail(const char *what)
{
    DWORD error = GetLastError();
    fprintf(stderr, "pondrel_example: %s failed, error %lu%s\n", what, (unsigned long)error,
            error == ERROR_OPERATION_ABORTED ? " (cancelled: no answer in time)" : "");
    return 1;
}

int main(void)
{
    wchar_t device[520];
    /* IOCTL_FETCH_CONFIGURATION answers all or nothing and reports no size
     * when the buffer is short: take one that fits any wTotalLength. */
    static BYTE configuration[PONDREL_CONFIGURATION_LENGTH_MAX];
    BYTE sent[64];
    BYTE received[64];
    DWORD bytes = 0;
    HANDLE control, out, in;
    int i, same;

    if (!FindDevice(device, sizeof device / sizeof device[0])) {
        fprintf(stderr, "pondrel_example: no device of interface class %s is present\n",
                PONDREL_INTERFACE_GUID_STRING);
        return 1;
    }

    control = CreateFileW(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                          OPEN_EXISTING, 0, NULL);
    if (control == INVALID_HANDLE_VALUE)
        return Fail("opening the device");
    /* Served from what the driver read at start: it never waits for the device. */
    if (!DeviceIoControl(control, IOCTL_FETCH_CONFIGURATION, NULL, 0, configuration, sizeof configuration,
                         &bytes, NULL))
        return Fail("IOCTL_FETCH_CONFIGURATION");
    printf("configuration descriptor: %lu bytes, %u interface(s)\n", (unsigned long)bytes,
           bytes >= 9 ? configuration[4] : 0u);
    CloseHandle(control);

    out = OpenPipe(device, OUT_PIPE);
    in = OpenPipe(device, IN_PIPE);
    if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE)
        return Fail("opening pipes 0 and 1");
    for (i = 0; i < (int)sizeof sent; ++i)
        sent[i] = (BYTE)i;
    if (!Transfer(out, FALSE, sent, sizeof sent, TRANSFER_TIMEOUT_MS))
        return Fail("WriteFile");
    if (!Transfer(in, TRUE, received, sizeof received, TRANSFER_TIMEOUT_MS))
        return Fail("ReadFile");
    same = memcmp(sent, received, sizeof sent) == 0;
    printf("wrote %u bytes to pipe %u, read them back from pipe %u: %s\n", (unsigned)sizeof sent, OUT_PIPE,
           IN_PIPE, same ? "the same" : "DIFFERENT");
    CloseHandle(out);
    CloseHandle(in);
    return same ? 0 : 1;
}
