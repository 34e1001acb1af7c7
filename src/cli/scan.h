// The old place of the scan driver's header, kept until the macOS platform's
// test includes scan/scan.h itself.
#pragma once

#include "scan/scan.h"
