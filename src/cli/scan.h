// One complete scan, from the permission check to the reply.
#pragma once

#include "cli/reply.h"

namespace kestreye {

/// Runs one scan of the installed platform and returns its reply; the
/// platform forgets what the scan learned before this returns.
Reply scanReply();

/// Runs one scan and writes exactly one reply line.
void scan();

}  // namespace kestreye
