// A request status as the fuzz reports print it.
#pragma once

#include "platform/kernel.h"

#include <cstdio>
#include <string>

namespace pondrel_fuzz {

inline std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace pondrel_fuzz
