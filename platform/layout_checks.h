// Sizes the driver depends on. Both builds must agree with the x86-64
// Windows layouts, or a structure shared with the kernel is misread.
#pragma once

static_assert(sizeof(void*) == 8, "pondrel targets x86-64 only");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32-bit");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES layout");
static_assert(sizeof(IRP) == 208, "IRP layout");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION layout");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK layout");
static_assert(sizeof(KEVENT) == 24, "KEVENT layout");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING layout");
static_assert(sizeof(DEVICE_OBJECT) == 328, "DEVICE_OBJECT layout");
static_assert(sizeof(FILE_OBJECT) == 216, "FILE_OBJECT layout");
static_assert(sizeof(DRIVER_OBJECT) == 336, "DRIVER_OBJECT layout");
static_assert(sizeof(MDL) == 48, "MDL layout");
