// libFuzzer's entry for one target; PONDREL_FUZZ_CHECK names its body. A
// broken invariant prints what broke and aborts, which libFuzzer records as
// a crash with the input that caused it.
#include "fuzz/harness/targets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string report = pondrel_fuzz::PONDREL_FUZZ_CHECK(data, size);
    if (!report.empty()) {
        std::fprintf(stderr, "pondrel fuzz: invariant broken:\n%s", report.c_str());
        std::abort();
    }
    return 0;
}
