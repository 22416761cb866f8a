// IRP_MN_QUERY_CAPABILITIES: the snapshot kept for the power paths and the
// record that goes back up.
#include "tests/pnp/support/driver_fixture.h"

#include <cstring>
#include <string>

namespace pondrel::test {
namespace {

class CapabilitiesTest : public DriverFixture {
protected:
    void SetUp() override { BringUp(); }

    NTSTATUS Query(DEVICE_CAPABILITIES* record)
    {
        return pnp().Send(IRP_MN_QUERY_CAPABILITIES, [record](PIO_STACK_LOCATION stack) {
            stack->Parameters.DeviceCapabilities.Capabilities = record;
        });
    }

    static DEVICE_CAPABILITIES Fresh()
    {
        DEVICE_CAPABILITIES record{};
        record.Size = sizeof(DEVICE_CAPABILITIES);
        record.Version = 1;
        record.Address = 0xFFFFFFFF;
        record.UINumber = 0xFFFFFFFF;
        return record;
    }
};

TEST_F(CapabilitiesTest, RefusesARecordTooOldOrTooSmall)
{
    const struct {
        const char* name;
        USHORT size;
        USHORT version;
    } cases[] = {{"size 63", 63, 1}, {"version 0", 64, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spy().ForgetSeen();
        DEVICE_CAPABILITIES before = context()->Capabilities;
        DEVICE_CAPABILITIES record = Fresh();
        record.Size = c.size;
        record.Version = c.version;

        EXPECT_EQ(Query(&record), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(record.SurpriseRemovalOK, 0u);
        EXPECT_EQ(spy().Count(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), 0u);
        EXPECT_EQ(std::memcmp(&before, &context()->Capabilities, sizeof(before)), 0);
        EXPECT_EQ(IoRefCount(), 1);
    }
}

// The snapshot holds what the lower drivers returned, exactly the structure
// whatever the record's size, nothing past it; the record going up always
// says the device may be removed without warning.
TEST_F(CapabilitiesTest, KeepsWhatTheLowerDriversReturned)
{
    spy().EditCapabilities([](PDEVICE_CAPABILITIES capabilities) {
        capabilities->SurpriseRemovalOK = FALSE;
        capabilities->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
        capabilities->SystemWake = PowerSystemSleeping1;
    });
    struct {
        DEVICE_CAPABILITIES record;
        UCHAR tail[16];
    } larger{};
    for (const size_t size : {sizeof(DEVICE_CAPABILITIES), sizeof(larger)}) {
        SCOPED_TRACE("record of " + std::to_string(size) + " bytes");
        spy().ForgetSeen();
        larger.record = Fresh();
        larger.record.Size = static_cast<USHORT>(size);
        PUSB_CONFIGURATION_DESCRIPTOR configBefore = context()->ConfigDescriptor;
        ASSERT_TRUE(NT_SUCCESS(Query(&larger.record)));

        const std::optional<SeenRequest> below = spy().Last(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
        ASSERT_TRUE(below.has_value());
        EXPECT_EQ(below->statusOnArrival, STATUS_SUCCESS);
        EXPECT_EQ(larger.record.SurpriseRemovalOK, 1u);
        EXPECT_EQ(context()->Capabilities.SurpriseRemovalOK, 0u);
        EXPECT_EQ(context()->Capabilities.DeviceState[PowerSystemSleeping1], PowerDeviceD2);
        EXPECT_EQ(context()->Capabilities.SystemWake, PowerSystemSleeping1);
        EXPECT_EQ(context()->ConfigDescriptor, configBefore);
        larger.record.SurpriseRemovalOK = FALSE;
        EXPECT_EQ(std::memcmp(&larger.record, &context()->Capabilities, sizeof(DEVICE_CAPABILITIES)), 0);
    }
}

TEST_F(CapabilitiesTest, FailedQueryKeepsTheEarlierSnapshotAndALaterOneReplacesIt)
{
    DEVICE_CAPABILITIES record = Fresh();
    ASSERT_TRUE(NT_SUCCESS(Query(&record)));
    const DEVICE_CAPABILITIES first = context()->Capabilities;

    spy().FailPnp(IRP_MN_QUERY_CAPABILITIES, STATUS_DEVICE_NOT_READY);
    record = Fresh();
    EXPECT_EQ(Query(&record), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(std::memcmp(&first, &context()->Capabilities, sizeof(first)), 0);

    spy().ForgetAnswers();
    spy().EditCapabilities([](PDEVICE_CAPABILITIES capabilities) {
        for (auto& state : capabilities->DeviceState) {
            state = PowerDeviceD3;
        }
        capabilities->D1Latency = 77;
    });
    record = Fresh();
    ASSERT_TRUE(NT_SUCCESS(Query(&record)));
    EXPECT_EQ(context()->Capabilities.D1Latency, 77u);
    EXPECT_EQ(context()->Capabilities.DeviceState[PowerSystemWorking], PowerDeviceD3);
}

}  // namespace
}  // namespace pondrel::test
