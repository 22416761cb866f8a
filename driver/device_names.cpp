#include "driver/device_names.h"

void DeleteDosLink()
{
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, PONDREL_DOS_LINK_NAME);
    IoDeleteSymbolicLink(&linkName);
}
