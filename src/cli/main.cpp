#include "cli/entry.h"

int main(int argc, char** argv) { return kestreye::kestreyeMain(argc, argv); }
