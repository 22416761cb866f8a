// Hand-assembled code pages run as a loaded image's code: the moves to and
// from CR8 act on the thread's IRQL, and any other fault in an image ends
// the run with one line naming the image, the offset and the address.
#include "emulator/loader/privileged.h"
#include "tests/support/kernel_test.h"

#include <cstring>
#include <sys/mman.h>

namespace {

using Code = std::vector<uint8_t>;
using Routine = uint64_t (*)(uint64_t);

// One page of code, known to the fault handler as "test.sys".
class CodePage {
public:
    explicit CodePage(const Code& code)
    {
        page_ = static_cast<uint8_t*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memcpy(page_, code.data(), code.size());
        mprotect(page_, 4096, PROT_READ | PROT_EXEC);
        emu::loader::WatchImage("test.sys", page_, 4096);
    }
    ~CodePage() { emu::loader::RetireImage(page_, 4096); }
    uint64_t Run(uint64_t argument) const { return reinterpret_cast<Routine>(page_)(argument); }
    void Retire() { emu::loader::RetireImage(page_, 4096); }

private:
    uint8_t* page_;
};

struct Cr8Case {
    const char* what;
    Code code;
    KIRQL before;
    uint64_t argument;  // in rdi
    uint64_t returned;  // rax
    KIRQL after;
};

const Cr8Case cr8Cases[] = {
    {"read into rax", {0x44, 0x0f, 0x20, 0xc0, 0xc3}, DISPATCH_LEVEL, 0, DISPATCH_LEVEL, DISPATCH_LEVEL},
    {"read into r9", {0x45, 0x0f, 0x20, 0xc1, 0x4c, 0x89, 0xc8, 0xc3}, APC_LEVEL, 0, APC_LEVEL, APC_LEVEL},
    {"raise from rdi", {0x44, 0x0f, 0x22, 0xc7, 0x31, 0xc0, 0xc3}, PASSIVE_LEVEL, DISPATCH_LEVEL, 0, DISPATCH_LEVEL},
    {"lower from rdi", {0x44, 0x0f, 0x22, 0xc7, 0x31, 0xc0, 0xc3}, DISPATCH_LEVEL, PASSIVE_LEVEL, 0, PASSIVE_LEVEL},
};

class Cr8Move : public emu::test::KernelTest, public ::testing::WithParamInterface<Cr8Case> {};

TEST_P(Cr8Move, ActsOnTheThreadsIrql)
{
    const Cr8Case& c = GetParam();
    CodePage page(c.code);
    emu::ScopedIrql level(c.before);
    EXPECT_EQ(page.Run(c.argument), c.returned);
    EXPECT_EQ(KeGetCurrentIrql(), c.after);
}

INSTANTIATE_TEST_SUITE_P(Moves, Cr8Move, ::testing::ValuesIn(cr8Cases), [](const auto& info) {
    std::string name = info.param.what;
    for (char& c : name)
        c = c == ' ' ? '_' : c;
    return name;
});

struct FaultCase {
    const char* what;
    Code code;
    bool retireFirst;
    int status;
    const char* line;  // a regular expression for stderr
};

const FaultCase faultCases[] = {
    {"a null read", {0x90, 0x48, 0x8b, 0x04, 0x25, 0x08, 0x00, 0x00, 0x00, 0xc3}, false, 1,
     "^pondrel-sim: test.sys: an access violation at test.sys\\+0x1 \\(address 0x8\\); Windows would bugcheck here\n$"},
    {"a read of the shared data page", {0x48, 0xa1, 0x14, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff, 0xc3}, false, 2,
     "^pondrel-sim: test.sys: the driver read the kernel's shared data page \\(KUSER_SHARED_DATA\\) at "
     "0xfffff78000000014 \\(test.sys\\+0x0\\), which the emulator does not provide\n$"},
    {"a call after unload", {0xc3}, true, 1,
     "^pondrel-sim: test.sys's code at offset 0x0 ran after the image was unloaded"},
};

class ImageFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ImageFault, EndsTheRunWithOneLine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const FaultCase& c = GetParam();
    EXPECT_EXIT(
        {
            CodePage page(c.code);
            if (c.retireFirst)
                page.Retire();
            page.Run(0);
        },
        ::testing::ExitedWithCode(c.status), c.line);
}

INSTANTIATE_TEST_SUITE_P(Faults, ImageFault, ::testing::ValuesIn(faultCases), [](const auto& info) {
    std::string name = info.param.what;
    for (char& c : name)
        c = c == ' ' ? '_' : c;
    return name;
});

}  // namespace
