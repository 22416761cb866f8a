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
// trimmed: a section header has only `section`; another line has its
// section, the text before '=' as `key` (empty without '=') and the rest, or
// the whole line, as `value`.
struct InfLine {
    std::string section, key, value;
    bool header = false;
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
            lines.push_back({section = line.substr(1, line.size() - 2), "", "", true});
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
                 [&](const InfLine& line) { return line.section == section && !line.header; });
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
    EXPECT_TRUE(inf.front().header && inf.front().section == "Version");
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
        {"Strings", "DeviceSecurity", "\"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)\""},
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

// Runs the package script; returns its exit status.
int RunScript(const std::string& arguments, const fs::path& log)
{
    std::string command = "sh " + kSourceDir + "/tools/package/make-package.sh " + arguments + " >" + log.string() +
                          " 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PackageScript, GathersDriverInfClientAndInstallNote)
{
    fs::path work = fs::temp_directory_path() / ("pondrel-package-" + std::to_string(::getpid()));
    fs::create_directories(work);
    std::ofstream(work / "in.sys") << "driver";
    std::ofstream(work / "in.exe") << "client";
    ASSERT_EQ(RunScript((work / "in.sys").string() + " " + (work / "in.exe").string() + " " + (work / "dist").string(),
                        work / "log"),
              0);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(work / "dist"))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"INSTALL.txt", "pondrel.inf", "pondrel.sys", "pondrelctl.exe"}));
    EXPECT_EQ(ReadAll(work / "dist" / "pondrel.sys"), (std::vector<uint8_t>{'d', 'r', 'i', 'v', 'e', 'r'}));
    EXPECT_EQ(ReadAll(work / "dist" / "pondrel.inf"), ReadAll(kSourceDir + "/driver/pondrel.inf"));

    EXPECT_EQ(RunScript((work / "missing.sys").string() + " " + (work / "in.exe").string() + " " +
                            (work / "dist2").string(),
                        work / "log"),
              1);
    auto log = ReadAll(work / "log");
    EXPECT_NE(std::string(log.begin(), log.end()).find("missing.sys is missing"), std::string::npos);
    EXPECT_FALSE(fs::exists(work / "dist2"));
    fs::remove_all(work);
}

// The machine and the subsystem of a PE image, or nullopt for a file that
// is not one. (pondrel.sys itself is checked by tests/build/check_pe.py.)
std::optional<std::pair<uint16_t, uint16_t>> MachineAndSubsystem(const fs::path& path)
{
    auto bytes = ReadAll(path);
    auto u16 = [&](size_t at) { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); };
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z')
        return std::nullopt;
    const size_t pe = u16(0x3C) | static_cast<size_t>(u16(0x3E)) << 16;
    if (pe + 24 + 70 > bytes.size() || bytes[pe] != 'P' || bytes[pe + 1] != 'E' || u16(pe + 24) != 0x20B)
        return std::nullopt;  // not PE32+
    return std::pair{u16(pe + 4), u16(pe + 24 + 68)};
}

// The package to check: the one named by PONDREL_PACKAGE_DIR, else one made
// from the Windows build this host build was configured with, else dist/.
std::optional<fs::path> PackageToCheck(const fs::path& scratch)
{
    if (const char* named = std::getenv("PONDREL_PACKAGE_DIR"))
        return fs::path(named);
    fs::path sys = PONDREL_SYS_PATH;
    fs::path ctl = sys.parent_path() / "pondrelctl.exe";
    if (!sys.empty() && fs::exists(sys) && fs::exists(ctl)) {
        fs::create_directories(scratch);
        if (RunScript(sys.string() + " " + ctl.string() + " " + (scratch / "dist").string(), scratch / "log") == 0)
            return scratch / "dist";
    }
    fs::path dist = kSourceDir + "/dist";
    if (fs::exists(dist / "pondrelctl.exe") && fs::exists(dist / "pondrel.sys"))
        return dist;
    return std::nullopt;
}

TEST(BuiltPackage, HoldsEveryFileTheInfNamesAndTheImagesAreX64)
{
    fs::path scratch = fs::temp_directory_path() / ("pondrel-built-package-" + std::to_string(::getpid()));
    auto package = PackageToCheck(scratch);
    if (!package)
        GTEST_SKIP() << "no Windows build or package here: run `make package` (or configure with -DPONDREL_SYS=...)";
    fs::path dist = *package;
    EXPECT_TRUE(fs::exists(dist / "pondrel.sys") && fs::exists(dist / "pondrelctl.exe")) << dist;

    const auto inf = ReadInf(dist / "pondrel.inf");
    ASSERT_FALSE(inf.empty());
    for (const auto& line : Section(inf, "SourceDisksFiles"))
        EXPECT_TRUE(fs::exists(dist / line.key)) << line.key;
    for (const auto& line : Section(inf, ValueOf(inf, "Pondrel_Install.NT", "CopyFiles").value_or("")))
        EXPECT_TRUE(fs::exists(dist / line.value)) << line.value;
    EXPECT_TRUE(fs::exists(dist / "INSTALL.txt"));

    constexpr uint16_t kAmd64 = 0x8664, kConsole = 3;
    EXPECT_EQ(MachineAndSubsystem(dist / "pondrelctl.exe"), std::pair(kAmd64, kConsole)) << "not an x64 console PE32+";
    fs::remove_all(scratch);
}

}  // namespace
}  // namespace tools_test
