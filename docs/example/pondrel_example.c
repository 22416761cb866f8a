/*
 * pondrel_example: finds the pondrel device through its device interface,
 * prints its configuration descriptor's size, writes 64 bytes to pipe 0 and
 * reads them back from pipe 1 (a device whose pipes 0 and 1 loop back).
 *
 * Build with mingw-w64:
 *   x86_64-w64-mingw32-gcc -Iinclude docs/example/pondrel_example.c -lsetupapi -o pondrel_example.exe
 */
#include "pondrel.h"

#include <windows.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

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

static HANDLE OpenPath(const wchar_t *device, const wchar_t *rest)
{
    wchar_t path[600];
    _snwprintf(path, sizeof path / sizeof path[0], L"%ls%ls", device, rest);
    path[sizeof path / sizeof path[0] - 1] = L'\0';
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, 0, NULL);
}

static int Fail(const char *what)
{
    fprintf(stderr, "pondrel_example: %s failed, error %lu\n", what, (unsigned long)GetLastError());
    return 1;
}

int main(void)
{
    wchar_t device[520];
    BYTE configuration[4096];
    BYTE sent[64];
    BYTE received[64];
    DWORD bytes = 0;
    HANDLE control, out, in;
    int i;

    if (!FindDevice(device, sizeof device / sizeof device[0])) {
        fprintf(stderr, "pondrel_example: no device of interface class %s is present\n",
                PONDREL_INTERFACE_GUID_STRING);
        return 1;
    }

    control = OpenPath(device, L"");
    if (control == INVALID_HANDLE_VALUE)
        return Fail("opening the device");
    if (!DeviceIoControl(control, IOCTL_FETCH_CONFIGURATION, NULL, 0, configuration, sizeof configuration,
                         &bytes, NULL))
        return Fail("IOCTL_FETCH_CONFIGURATION");
    printf("configuration descriptor: %lu bytes, %u interface(s)\n", (unsigned long)bytes,
           bytes >= 9 ? configuration[4] : 0u);
    CloseHandle(control);

    out = OpenPath(device, PONDREL_PIPE_PREFIX_W L"0");
    in = OpenPath(device, PONDREL_PIPE_PREFIX_W L"1");
    if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE)
        return Fail("opening pipes 0 and 1");
    for (i = 0; i < (int)sizeof sent; ++i)
        sent[i] = (BYTE)i;
    if (!WriteFile(out, sent, sizeof sent, &bytes, NULL) || bytes != sizeof sent)
        return Fail("WriteFile");
    /* A read returns only once all the bytes asked for have arrived. */
    if (!ReadFile(in, received, sizeof received, &bytes, NULL) || bytes != sizeof received)
        return Fail("ReadFile");
    printf("wrote %u bytes to pipe 0, read %lu back from pipe 1: %s\n", (unsigned)sizeof sent,
           (unsigned long)bytes, memcmp(sent, received, sizeof sent) == 0 ? "the same" : "DIFFERENT");
    CloseHandle(out);
    CloseHandle(in);
    return memcmp(sent, received, sizeof sent) == 0 ? 0 : 1;
}
