// IRP_MN_QUERY_CAPABILITIES: the snapshot kept for the power paths and the
// record that goes back up.
#include "tests/pnp/support/driver_fixture.h"

#include <cstring>
#include <string>

namespace pondrel::test {
namespace {

using CapabilitiesTest = DriverFixture;

// A record too small or too old goes down untouched (the driver neither
// edits nor keeps it: only the bus driver may complete a PnP request); a
// query the lower drivers fail keeps the earlier snapshot. Otherwise the snapshot
// holds what the lower drivers returned, exactly the structure whatever the
// record's size and nothing past it, and the record going up always says
// the device may be removed without warning.
TEST_F(CapabilitiesTest, KeepsWhatTheLowerDriversReturned)
{
    BringUp();
    struct {
        DEVICE_CAPABILITIES record;
        UCHAR tail[16];
    } larger{};
    const struct {
        const char* name;
        USHORT size;
        USHORT version;
        NTSTATUS below;  // STATUS_PENDING: passed on to the bus
        NTSTATUS expected;
        ULONG latency;   // D1Latency the lower drivers report
    } cases[] = {
        {"size 63", 63, 1, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0},
        {"version 0", 64, 0, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0},
        {"exact size", sizeof(DEVICE_CAPABILITIES), 1, STATUS_PENDING, STATUS_SUCCESS, 11},
        {"larger record", sizeof(larger), 1, STATUS_PENDING, STATUS_SUCCESS, 22},
        {"failed below", sizeof(DEVICE_CAPABILITIES), 1, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY, 33},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spy().ForgetSeen();
        spy().ForgetAnswers();
        if (c.below != STATUS_PENDING) {
            spy().FailPnp(IRP_MN_QUERY_CAPABILITIES, c.below);
        }
        spy().EditCapabilities([&c](PDEVICE_CAPABILITIES capabilities) {
            capabilities->SurpriseRemovalOK = FALSE;
            capabilities->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
            capabilities->SystemWake = PowerSystemSleeping1;
            capabilities->D1Latency = c.latency;
        });
        const DEVICE_CAPABILITIES before = context()->Capabilities;
        PUSB_CONFIGURATION_DESCRIPTOR configBefore = context()->ConfigDescriptor;
        larger.record = {};
        larger.record.Size = c.size;
        larger.record.Version = c.version;
        larger.record.Address = larger.record.UINumber = 0xFFFFFFFF;

        EXPECT_EQ(pnp().Send(IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
            stack->Parameters.DeviceCapabilities.Capabilities = &larger.record;
        }), c.expected);
        const bool malformed = c.size < sizeof(DEVICE_CAPABILITIES) || c.version < 1;
        ASSERT_EQ(spy().Count(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), 1u);
        EXPECT_EQ(spy().Last(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES)->statusOnArrival,
                  malformed ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS);
        EXPECT_TRUE(!malformed || larger.record.SurpriseRemovalOK == 0u);
        EXPECT_EQ(context()->ConfigDescriptor, configBefore);
        EXPECT_EQ(IoRefCount(), 1);
        if (!NT_SUCCESS(c.expected)) {
            EXPECT_EQ(std::memcmp(&before, &context()->Capabilities, sizeof(before)), 0);
            continue;
        }
        EXPECT_EQ(larger.record.SurpriseRemovalOK, 1u);
        EXPECT_EQ(context()->Capabilities.SurpriseRemovalOK, 0u);
        EXPECT_EQ(context()->Capabilities.DeviceState[PowerSystemSleeping1], PowerDeviceD2);
        EXPECT_EQ(context()->Capabilities.SystemWake, PowerSystemSleeping1);
        EXPECT_EQ(context()->Capabilities.D1Latency, c.latency);
        larger.record.SurpriseRemovalOK = FALSE;
        EXPECT_EQ(std::memcmp(&larger.record, &context()->Capabilities, sizeof(DEVICE_CAPABILITIES)), 0);
    }
}

}  // namespace
}  // namespace pondrel::test
