// The Windows package: the INF's sections, the package script, and (once
// `make package` has run) the files in dist/.
#include "inf_file.h"

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

// driver/pondrel.inf: every section and value a kernel function driver's
// install needs, the hardware ID in one place, and every %string% defined.
TEST(PondrelInf, InstallsTheDriverAsTheFunctionDriverOfOneHardwareId)
{
    auto inf = InfFile::Load(kSourceDir + "/driver/pondrel.inf");
    ASSERT_TRUE(inf) << "driver/pondrel.inf cannot be read";
    EXPECT_EQ(inf->Text().front(), "[Version]");
    auto driverVer = inf->Value("Version", "DriverVer");
    ASSERT_TRUE(driverVer);
    EXPECT_TRUE(std::regex_match(*driverVer, std::regex(R"(\d\d/\d\d/\d\d\d\d,2\.0\.0\.0)"))) << *driverVer;
    EXPECT_TRUE(inf->Value("Version", "Provider"));

    // [Manufacturer] names the models section; its one line is
    // "%DeviceDesc% = Install, HWID".
    ASSERT_EQ(inf->Lines("Manufacturer").size(), 1u);
    auto models = Fields(inf->Lines("Manufacturer")[0].value);
    ASSERT_EQ(models.size(), 2u);
    EXPECT_EQ(models[1], "NTamd64");
    ASSERT_EQ(inf->Lines(models[0] + ".NTamd64").size(), 1u);
    auto model = Fields(inf->Lines(models[0] + ".NTamd64")[0].value);
    ASSERT_EQ(model.size(), 2u);
    EXPECT_EQ(model[1], kHardwareId);
    EXPECT_EQ(std::count_if(inf->Text().begin(), inf->Text().end(),
                            [](const std::string& line) { return line.find(kHardwareId) != std::string::npos; }),
              1);

    const std::string install = model[0] + ".NT";
    const std::string copyFiles = inf->Value(install, "CopyFiles").value_or("(no CopyFiles)");
    ASSERT_EQ(inf->Lines(copyFiles).size(), 1u);
    EXPECT_EQ(inf->Lines(copyFiles)[0].value, "pondrel.sys");
    auto service = Fields(inf->Value(install + ".Services", "AddService").value_or(""));
    ASSERT_EQ(service.size(), 3u);
    EXPECT_EQ(service[0], "pondrel");
    EXPECT_EQ(std::strtoul(service[1].c_str(), nullptr, 0) & 2u, 2u) << "not the function driver";
    EXPECT_TRUE(inf->Value(service[2], "DisplayName"));
    const std::tuple<std::string, std::string, std::string> values[] = {
        {"Version", "Signature", "\"$WINDOWS NT$\""},
        {"Version", "Class", "USBDevice"},
        {"Version", "ClassGuid", "{88BAE032-5A81-49f0-BC3D-A4FF138216D6}"},
        {"Version", "CatalogFile", "pondrel.cat"},
        {"DestinationDirs", copyFiles, "12"},
        {"DestinationDirs", "DefaultDestDir", "12"},
        {service[2], "ServiceType", "1"},
        {service[2], "StartType", "3"},
        {service[2], "ErrorControl", "1"},
        {service[2], "ServiceBinary", "%12%\\pondrel.sys"},
    };
    for (const auto& [section, key, value] : values)
        EXPECT_EQ(inf->Value(section, key), value) << "[" << section << "] " << key;

    // The hardware key gives the device object its security descriptor and
    // FILE_DEVICE_SECURE_OPEN (0x100, a REG_DWORD: flags 0x10001).
    const std::string addReg = inf->Value(install + ".HW", "AddReg").value_or("(no AddReg)");
    const std::vector<std::string> hardwareKey[] = {
        {"HKR", "", "Security", "", "%DeviceSecurity%"},
        {"HKR", "", "DeviceCharacteristics", "0x10001", "0x100"},
    };
    const auto lines = inf->Lines(addReg);
    for (const auto& fields : hardwareKey) {
        const auto matches = [&](const InfLine& line) { return Fields(line.value) == fields; };
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), matches), 1) << fields[2] << " not set once in " << addReg;
    }
    EXPECT_EQ(inf->Value("Strings", "DeviceSecurity"), "\"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)\"");

    ASSERT_EQ(inf->Lines("SourceDisksNames").size(), 1u);
    EXPECT_EQ(inf->Lines("SourceDisksNames")[0].key, "1");
    ASSERT_EQ(inf->Lines("SourceDisksFiles").size(), 1u);
    EXPECT_EQ(inf->Lines("SourceDisksFiles")[0].key, "pondrel.sys");
    EXPECT_EQ(Fields(inf->Lines("SourceDisksFiles")[0].value)[0], "1");
    std::regex token(R"(%([A-Za-z][A-Za-z0-9_]*)%)");
    for (const auto& line : inf->Text()) {
        for (std::sregex_iterator it(line.begin(), line.end(), token), end; it != end; ++it)
            EXPECT_TRUE(inf->Value("Strings", (*it)[1])) << "undefined %" << (*it)[1] << "% in: " << line;
    }
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

    auto inf = InfFile::Load((dist / "pondrel.inf").string());
    ASSERT_TRUE(inf);
    for (const auto& line : inf->Lines("SourceDisksFiles"))
        EXPECT_TRUE(fs::exists(dist / line.key)) << line.key;
    for (const auto& line : inf->Lines(*inf->Value("Pondrel_Install.NT", "CopyFiles")))
        EXPECT_TRUE(fs::exists(dist / line.value)) << line.value;
    EXPECT_TRUE(fs::exists(dist / "INSTALL.txt"));

    constexpr uint16_t kAmd64 = 0x8664, kConsole = 3;
    EXPECT_EQ(MachineAndSubsystem(dist / "pondrelctl.exe"), std::pair(kAmd64, kConsole)) << "not an x64 console PE32+";
    fs::remove_all(scratch);
}

}  // namespace
}  // namespace tools_test
