#include "tools/pondrel-sim/demo.h"

#include "tools/pondrel-sim/pipes.h"
#include "tools/session/descriptors.h"
#include "tools/session/parser.h"
#include "tools/session/status_names.h"

#include <string>

namespace sim {
namespace {

// What a step's outcome must be for the demo to count it as right.
enum class Want { Success, Failure, Anything };

class Demo {
public:
    Demo(const emu::usb::DeviceModel& model, session::Executor& executor, session::Printer& printer)
        : model_(model), executor_(executor), printer_(printer)
    {
    }

    int Run()
    {
        Heading("The device arrives: AddDevice, then IRP_MN_START_DEVICE");
        if (!Step("plug", Want::Success))
            return Finish();

        Heading("Its configuration, read back through IOCTL_FETCH_CONFIGURATION");
        Step("open", Want::Success);
        Step("ioctl h1 fetch-config", Want::Success);
        std::vector<uint8_t> configuration = executor_.LastResult()->data;
        std::string decoded = session::DescribeDescriptors(model_.deviceDescriptor, configuration);
        if (!decoded.empty() && decoded.back() == '\n')
            decoded.pop_back();
        printer_.Text(decoded);

        auto pipes = FindLoopbackPipes(model_, configuration);
        if (!pipes) {
            printer_.Text("(this device has no loopback pair of bulk pipes: no data is sent)");
            Lifecycle("h1");
            return Finish();
        }
        std::string out = "\\PIPE" + std::to_string(pipes->first);
        std::string in = "\\PIPE" + std::to_string(pipes->second);

        Heading("The loopback pipes");
        Step("open " + out, Want::Success);
        Step("open " + in, Want::Success);

        Heading("1 MiB through them in 64 KiB writes and reads, every byte checked");
        Step("loopback h2 h3 1048576 65536", Want::Success);

        Heading("A pipe reset and a port reset");
        Step("ioctl h2 pipe-reset", Want::Success);
        Step("ioctl h1 port-reset", Want::Success);

        Heading("Query-stop, stop and restart, with the handles open");
        Step("query-stop", Want::Success);
        Step("stop", Want::Success);
        Step("write h2 64", Want::Failure);
        Step("start", Want::Success);
        printer_.Text("  (the handles opened before the stop name pipes of the old configuration)");
        Step("write h2 64", Want::Anything);
        if (session::IsSuccess(executor_.LastResult()->status))
            Step("read h3 64", Want::Anything);
        Step("close h2", Want::Success);
        Step("close h3", Want::Success);
        Step("open " + out, Want::Success);
        Step("open " + in, Want::Success);
        Step("loopback h4 h5 65536 4096", Want::Success);

        Heading("Sleep to S3 and resume");
        Step("sleep S3", Want::Success);
        Step("resume", Want::Success);
        Step("loopback h4 h5 65536 4096", Want::Success);

        Heading("Surprise removal while a read is pending");
        Step("read& h5 512", Want::Anything);
        Step("surprise-remove", Want::Success);
        Step("wait 5000", Want::Anything);
        if (!executor_.LastResult()->done)
            Fault("the pending read did not end after the device left");
        else if (session::IsSuccess(executor_.LastResult()->status))
            Fault("the pending read succeeded after the device left");

        Heading("The last handle closes: the PnP manager removes the device, the driver unloads");
        Step("close h1", Want::Success);
        Step("close h4", Want::Success);
        Step("close h5", Want::Success);
        Step("unload", Want::Success);
        return Finish();
    }

private:
    // With no data path: just the rest of the device's life.
    void Lifecycle(const std::string& handle)
    {
        Heading("Query-stop, stop and restart");
        Step("query-stop", Want::Success);
        Step("stop", Want::Success);
        Step("start", Want::Success);
        Heading("Sleep to S3 and resume");
        Step("sleep S3", Want::Success);
        Step("resume", Want::Success);
        Heading("Surprise removal; the last handle closes: removal and unload");
        Step("surprise-remove", Want::Success);
        Step("close " + handle, Want::Success);
        Step("unload", Want::Success);
    }

    void Heading(const std::string& title)
    {
        printer_.Text("");
        printer_.Text("-- " + title);
    }

    void Fault(const std::string& what)
    {
        ++faults_;
        printer_.Text("  !! " + what);
    }

    bool Step(const std::string& text, Want want)
    {
        std::string error;
        auto commands = session::ParseScript(text, "demo", &error);
        if (!commands || commands->size() != 1 || !executor_.Execute(commands->front(), &error)) {
            Fault("'" + text + "' could not run: " + error);
            return false;
        }
        uint32_t status = executor_.LastResult()->status;
        bool success = session::IsSuccess(status) && status != session::StatusTimeout;
        if ((want == Want::Success && !success) || (want == Want::Failure && success)) {
            Fault(std::string("expected ") + (want == Want::Success ? "success" : "a failure") + ", got " +
                  session::StatusName(status));
            return false;
        }
        return true;
    }

    int Finish() const { return faults_; }

    const emu::usb::DeviceModel& model_;
    session::Executor& executor_;
    session::Printer& printer_;
    int faults_ = 0;
};

}  // namespace

void PrintDemoTitle(session::Printer& printer)
{
    const std::string title = "pondrel demo: the driver in an emulated machine, its device plugged into the bus";
    printer.Text(title);
    printer.Text(std::string(title.size(), '='));
}

int RunDemo(const emu::usb::DeviceModel& model, session::Executor& executor, session::Printer& printer)
{
    return Demo(model, executor, printer).Run();
}

}  // namespace sim
