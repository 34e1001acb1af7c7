// One complete scan, from the permission check to the reply.
#pragma once

namespace kestreye {

/// Runs one scan and writes exactly one reply line.
void scan();

}  // namespace kestreye
