// The process entry, shared by kestreye and the tools that run it over
// another platform.
#pragma once

namespace kestreye {

/// Runs the tool on its command line; returns the process's exit status.
int kestreyeMain(int argc, char** argv);

}  // namespace kestreye
