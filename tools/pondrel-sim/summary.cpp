#include "tools/pondrel-sim/summary.h"

#include "driver/device_context.h"

#include <string>

namespace sim {
namespace {

std::string Row(const std::string& name, uint64_t value, const std::string& detail = {})
{
    std::string line = "  " + name;
    line.append(name.size() < 22 ? 22 - name.size() : 1, ' ');
    std::string number = std::to_string(value);
    line.append(number.size() < 10 ? 10 - number.size() : 0, ' ');
    line += number;
    if (!detail.empty())
        line += "   " + detail;
    return line;
}

std::string Field(const char* name, uint64_t value)
{
    return session::JsonString(name) + ":" + std::to_string(value);
}

}  // namespace

void MeasurePoolLeft(Summary* summary)
{
    for (const auto& stats : emu::pool::Stats()) {
        if (stats.tag != PondrelPoolTag)
            continue;
        summary->poolBlocksLeft = stats.liveBlocks;
        summary->poolBytesLeft = stats.liveBytes;
    }
}

bool SummaryIsClean(const Summary& summary)
{
    return summary.findings.empty() && summary.expectsFailed == 0 && summary.unexpectedFailures == 0 &&
           summary.poolBlocksLeft == 0;
}

void PrintSummary(const Summary& summary, session::Printer& printer)
{
    printer.Text("");
    printer.Text("Summary");
    printer.Text(Row("requests served", summary.requests,
                     std::to_string(summary.ioRequests) + " application, " + std::to_string(summary.pnpRequests) +
                         " PnP, " + std::to_string(summary.powerRequests) + " power"));
    printer.Text(Row("bus requests", summary.busRequests));
    printer.Text(Row("bytes moved", summary.bytesWritten + summary.bytesRead,
                     std::to_string(summary.bytesWritten) + " written, " + std::to_string(summary.bytesRead) +
                         " read"));
    printer.Text(Row("verifier findings", summary.findings.size()));
    for (const auto& finding : summary.findings)
        printer.Text("    " + finding.rule + " in " + finding.routine + (finding.detail.empty() ? "" : ": " + finding.detail));
    printer.Text(Row("pool left at unload", summary.poolBytesLeft,
                     summary.unloaded ? "bytes in " + std::to_string(summary.poolBlocksLeft) + " blocks (tag Bulk)"
                                      : "bytes (the driver was not unloaded)"));
    if (summary.expectsHeld || summary.expectsFailed)
        printer.Text(Row("expectations held", summary.expectsHeld,
                         std::to_string(summary.expectsFailed) + " did not hold"));
    if (summary.unexpectedFailures)
        printer.Text(Row("failures not expected", static_cast<uint64_t>(summary.unexpectedFailures),
                         "(a failure status that no expect after it named)"));

    std::string json = "{\"summary\":{" + Field("requests", summary.requests) + "," +
                       Field("pnp_requests", summary.pnpRequests) + "," + Field("power_requests", summary.powerRequests) +
                       "," + Field("io_requests", summary.ioRequests) + "," + Field("bus_requests", summary.busRequests) +
                       "," + Field("bytes_written", summary.bytesWritten) + "," + Field("bytes_read", summary.bytesRead) +
                       "," + Field("findings", summary.findings.size()) + ",\"unloaded\":" +
                       (summary.unloaded ? "true" : "false") + "," + Field("pool_blocks_left", summary.poolBlocksLeft) +
                       "," + Field("pool_bytes_left", summary.poolBytesLeft) + "," +
                       Field("expects_held", static_cast<uint64_t>(summary.expectsHeld)) + "," +
                       Field("expects_failed", static_cast<uint64_t>(summary.expectsFailed)) + "," +
                       Field("failures_unexpected", static_cast<uint64_t>(summary.unexpectedFailures)) + "}}";
    for (const auto& finding : summary.findings)
        printer.JsonLine("{\"finding\":{\"rule\":" + session::JsonString(finding.rule) +
                         ",\"routine\":" + session::JsonString(finding.routine) +
                         ",\"detail\":" + session::JsonString(finding.detail) + "}}");
    printer.JsonLine(json);
}

}  // namespace sim
