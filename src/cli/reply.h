// The old place of the scan driver's header, kept until the macOS platform's
// test includes scan/reply.h itself.
#pragma once

#include "scan/reply.h"
