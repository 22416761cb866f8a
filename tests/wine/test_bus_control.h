// The test bus's control device, shared by the bus (kernel) and pondrelctl
// (user mode): one buffered control code carries a verb; the bus answers
// with the NTSTATUS of what the verb did (a 32-bit long), the way the
// emulator reports the same verb. Plain C so that both sides include it.
#pragma once

#define PONDREL_TEST_BUS_DEVICE_NAME L"\\Device\\PondrelTestBus"
#define PONDREL_TEST_BUS_LINK_NAME L"\\DosDevices\\PondrelTestBus"
#define PONDREL_TEST_BUS_PATH "\\\\.\\PondrelTestBus"
#define PONDREL_TEST_BUS_NAME_CHARS 64

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0xB00, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PONDREL_TEST_BUS_COMMAND 0x0022C000u

enum PondrelTestBusVerb {
    TestBusPlug = 1,           // report the child; done once it was started
    TestBusSurpriseRemove = 2, // the child leaves the bus without warning
    TestBusRemove = 3,         // orderly removal: query-remove, remove, then it leaves
    TestBusSleep = 4,          // system query + set to S<argument>
    TestBusResume = 5,         // system set to S0
    TestBusWake = 6,           // the device signals remote wake
    TestBusStall = 7,          // the next transfer on <endpoint> stalls; it stays halted until a pipe reset
    // Wine 8.0's object manager refuses a name below a device object
    // (\\.\pondrel\PIPE1), which Windows passes to the driver in the file
    // object. The next open of the control device, once given a name here,
    // passes it to the driver instead, as if it opened that name.
    TestBusNameNextOpen = 8,
    TestBusLastOpenStatus = 9, // the status the driver gave the last such open
    TestBusPnp = 10,           // the PnP request <argument> (a query or cancel of stop or removal), as the PnP manager sends it
    TestBusSystemControl = 11, // a WMI request, minor <argument>, for a provider not in the stack
    TestBusSilent = 12,        // <endpoint> answers NAK until cleared: its transfers wait
    TestBusClearFault = 13     // <endpoint> behaves again (a halt stays until a pipe reset)
};

struct PondrelTestBusCommand {
    unsigned long verb;
    unsigned long argument; // sleep: 1..4; PnP, system control: the minor code
    unsigned long endpoint; // stall, silent, clear: the endpoint address (0x81)
    unsigned short name[PONDREL_TEST_BUS_NAME_CHARS]; // UTF-16, ends with 0
};
