// The Windows package: the INF's sections, the package script, and (once
// `make package` has run) the files in dist/.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <tuple>
#include <utility>

#include <sys/wait.h>
#include <unistd.h>

namespace tools_test {
namespace {

namespace fs = std::filesystem;

const std::string kSourceDir = PONDREL_SOURCE_DIR;
const std::string kHardwareId = "USB\\VID_1209&PID_0001";

std::vector<uint8_t> ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An INF line outside comments (a ';' inside double quotes is no comment),
// trimmed, other than a section header: its section, the text before '=' as
// `key` (empty without '=') and the rest, or the whole line, as `value`.
struct InfLine {
    std::string section, key, value;
};

std::vector<InfLine> ReadInf(const fs::path& path)
{
    const std::regex comment(R"(^((?:[^;"]|"[^"]*")*);[\s\S]*$)"), space(R"(^[ \t\r]+|[ \t\r]+$)");
    auto trim = [&](const std::string& text) { return std::regex_replace(text, space, ""); };
    std::vector<InfLine> lines;
    std::ifstream in(path);
    std::string section;
    for (std::string raw; std::getline(in, raw);) {
        const std::string line = trim(std::regex_replace(raw, comment, "$1"));
        const size_t equals = line.find('=');
        if (line.starts_with('[') && line.ends_with(']'))
            section = line.substr(1, line.size() - 2);
        else if (!line.empty())
            lines.push_back({section, equals == std::string::npos ? "" : trim(line.substr(0, equals)),
                             equals == std::string::npos ? line : trim(line.substr(equals + 1))});
    }
    return lines;
}

std::vector<InfLine> Section(const std::vector<InfLine>& inf, const std::string& section)
{
    std::vector<InfLine> lines;
    std::copy_if(inf.begin(), inf.end(), std::back_inserter(lines),
                 [&](const InfLine& line) { return line.section == section; });
    return lines;
}

std::optional<std::string> ValueOf(const std::vector<InfLine>& inf, const std::string& section, const std::string& key)
{
    for (const auto& line : Section(inf, section)) {
        if (line.key == key)
            return line.value;
    }
    return std::nullopt;
}

// driver/pondrel.inf: every section and value a kernel function driver's
// install needs, each section naming the next (models, install, files,
// registry, service), the hardware ID in one place, and every %string%
// defined.
TEST(PondrelInf, InstallsTheDriverAsTheFunctionDriverOfOneHardwareId)
{
    const auto inf = ReadInf(kSourceDir + "/driver/pondrel.inf");
    ASSERT_FALSE(inf.empty()) << "driver/pondrel.inf cannot be read";
    EXPECT_EQ(inf.front().section, "Version") << "the first section";
    EXPECT_TRUE(std::regex_match(ValueOf(inf, "Version", "DriverVer").value_or(""),
                                 std::regex(R"(\d\d/\d\d/\d\d\d\d,2\.0\.0\.0)")));
    const std::tuple<std::string, std::string, std::string> values[] = {
        {"Version", "Signature", "\"$WINDOWS NT$\""},
        {"Version", "Class", "USBDevice"},
        {"Version", "ClassGuid", "{88BAE032-5A81-49f0-BC3D-A4FF138216D6}"},
        {"Version", "Provider", "%ProviderName%"},
        {"Version", "CatalogFile", "pondrel.cat"},
        {"Manufacturer", "%ManufacturerName%", "Pondrel, NTamd64"},
        {"Pondrel.NTamd64", "%DeviceDesc%", "Pondrel_Install, " + kHardwareId},
        {"Pondrel_Install.NT", "CopyFiles", "Pondrel_CopyFiles"},
        {"Pondrel_CopyFiles", "", "pondrel.sys"},
        {"DestinationDirs", "Pondrel_CopyFiles", "12"},
        {"DestinationDirs", "DefaultDestDir", "12"},
        {"SourceDisksNames", "1", "%DiskName%,,,\"\""},
        {"SourceDisksFiles", "pondrel.sys", "1,,"},
        {"Pondrel_Install.NT.HW", "AddReg", "Pondrel_Device_AddReg"},
        {"Pondrel_Install.NT.Services", "AddService", "pondrel, 0x00000002, Pondrel_Service"},  // the function driver
        {"Pondrel_Service", "DisplayName", "%ServiceName%"},
        {"Pondrel_Service", "ServiceType", "1"},
        {"Pondrel_Service", "StartType", "3"},
        {"Pondrel_Service", "ErrorControl", "1"},
        {"Pondrel_Service", "ServiceBinary", "%12%\\pondrel.sys"},
        // System and administrators all access, authenticated users read and
        // write; a medium mandatory label with no read-up and no write-up,
        // so that a low-integrity process cannot open the device.
        {"Strings", "DeviceSecurity", "\"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)S:(ML;;NWNR;;;ME)\""},
    };
    for (const auto& [section, key, value] : values)
        EXPECT_EQ(ValueOf(inf, section, key), value) << "[" << section << "] " << key;
    for (const char* section : {"Manufacturer", "Pondrel.NTamd64", "Pondrel_CopyFiles", "SourceDisksNames", "SourceDisksFiles"})
        EXPECT_EQ(Section(inf, section).size(), 1u) << section;

    // The hardware key gives the device object its security descriptor and
    // FILE_DEVICE_SECURE_OPEN (0x100, a REG_DWORD: flags 0x10001).
    std::vector<std::string> addReg;
    for (const auto& line : Section(inf, "Pondrel_Device_AddReg"))
        addReg.push_back(line.value);
    EXPECT_EQ(addReg, (std::vector<std::string>{"HKR,,Security,,%DeviceSecurity%", "HKR,,DeviceCharacteristics,0x10001,0x100"}));

    const std::regex token(R"(%([A-Za-z][A-Za-z0-9_]*)%)");
    int hardwareIds = 0;
    for (const auto& line : inf) {
        const std::string text = line.key + "=" + line.value;
        hardwareIds += text.find(kHardwareId) != std::string::npos;
        for (std::sregex_iterator it(text.begin(), text.end(), token), end; it != end; ++it)
            EXPECT_TRUE(ValueOf(inf, "Strings", (*it)[1])) << "undefined %" << (*it)[1] << "% in: " << text;
    }
    EXPECT_EQ(hardwareIds, 1);
}

// Runs the package script on a driver and a client into `dist`; its exit
// status, with what it printed in `log`.
int RunScript(const fs::path& sys, const fs::path& exe, const fs::path& dist, const fs::path& log)
{
    const std::string command = "sh " + kSourceDir + "/tools/package/make-package.sh " + sys.string() + " " +
                                exe.string() + " " + dist.string() + " >" + log.string() + " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

fs::path Scratch(const std::string& name)
{
    const fs::path path = fs::temp_directory_path() / ("pondrel-" + name + "-" + std::to_string(::getpid()));
    fs::create_directories(path);
    return path;
}

// Each file of the package is a copy of its source: the two built files,
// and from the tree the INF, the install note and the application writer's
// header, page and example program.
TEST(PackageScript, GathersTheDriverPackageAndTheApplicationFiles)
{
    const fs::path work = Scratch("package");
    std::ofstream(work / "in.sys") << "driver";
    std::ofstream(work / "in.exe") << "client";
    ASSERT_EQ(RunScript(work / "in.sys", work / "in.exe", work / "dist", work / "log"), 0);
    const std::pair<std::string, fs::path> copies[] = {
        {"pondrel.sys", work / "in.sys"},
        {"pondrelctl.exe", work / "in.exe"},
        {"pondrel.inf", kSourceDir + "/driver/pondrel.inf"},
        {"INSTALL.txt", kSourceDir + "/tools/package/INSTALL.txt"},
        {"pondrel.h", kSourceDir + "/include/pondrel.h"},
        {"application-header.md", kSourceDir + "/docs/application-header.md"},
        {"pondrel_example.c", kSourceDir + "/docs/example/pondrel_example.c"},
    };
    std::set<std::string> names, expected;
    for (const auto& entry : fs::directory_iterator(work / "dist"))
        names.insert(entry.path().filename().string());
    for (const auto& [name, source] : copies) {
        expected.insert(name);
        EXPECT_TRUE(fs::exists(work / "dist" / name) && ReadAll(work / "dist" / name) == ReadAll(source))
            << name << " is missing or not a copy of " << source;
    }
    EXPECT_EQ(names, expected);

    EXPECT_EQ(RunScript(work / "missing.sys", work / "in.exe", work / "dist2", work / "log"), 1);
    auto log = ReadAll(work / "log");
    EXPECT_NE(std::string(log.begin(), log.end()).find("missing.sys is missing"), std::string::npos);
    EXPECT_FALSE(fs::exists(work / "dist2"));
    fs::remove_all(work);
}

// The package made from the Windows build this host build was configured
// with, else dist/: every file the INF names, and a client that is an x64
// console PE32+ (pondrel.sys itself is checked by tests/build/check_pe.py).
TEST(BuiltPackage, HoldsEveryFileTheInfNamesAndTheClientIsX64)
{
    const fs::path sys = PONDREL_SYS_PATH, ctl = sys.parent_path() / "pondrelctl.exe", scratch = Scratch("built");
    fs::path dist = kSourceDir + "/dist";
    if (!sys.empty() && fs::exists(sys) && fs::exists(ctl))
        ASSERT_EQ(RunScript(sys, ctl, dist = scratch / "dist", scratch / "log"), 0);
    else if (!fs::exists(dist / "pondrelctl.exe"))
        GTEST_SKIP() << "no Windows build or package here: run `make package` (or configure with -DPONDREL_SYS=...)";
    const auto inf = ReadInf(dist / "pondrel.inf");
    ASSERT_FALSE(inf.empty());
    for (const auto& line : Section(inf, "SourceDisksFiles"))
        EXPECT_TRUE(fs::exists(dist / line.key)) << line.key;
    for (const auto& line : Section(inf, ValueOf(inf, "Pondrel_Install.NT", "CopyFiles").value_or("")))
        EXPECT_TRUE(fs::exists(dist / line.value)) << line.value;
    EXPECT_TRUE(fs::exists(dist / "INSTALL.txt") && fs::exists(dist / "pondrelctl.exe"));

    const auto bytes = ReadAll(dist / "pondrelctl.exe");
    auto u16 = [&](size_t at) { return at + 1 < bytes.size() ? bytes[at] | bytes[at + 1] << 8 : -1; };
    const size_t pe = u16(0x3C) | u16(0x3E) << 16;
    EXPECT_EQ(u16(0), 'M' | 'Z' << 8);
    EXPECT_EQ(u16(pe), 'P' | 'E' << 8);
    EXPECT_EQ(u16(pe + 4), 0x8664) << "machine: x64";
    EXPECT_EQ(u16(pe + 24), 0x20B) << "PE32+";
    EXPECT_EQ(u16(pe + 24 + 68), 3) << "subsystem: console";
    fs::remove_all(scratch);
}

}  // namespace
}  // namespace tools_test
