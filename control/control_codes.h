// The device-control codes that applications send to pondrel. They are
// defined once, in the public application header, so that the driver, the
// tools and applications cannot disagree on them.
#pragma once

#include "include/pondrel.h"
