// The command line the example programs share: [--endpoint embedded|unix:PATH].
#pragma once
#include <string>

namespace demo {

// Reads the endpoint (default "embedded") and makes it the framework
// client's. Returns -1 to go on, or the exit status when the program should
// stop at once (0 after --help, 2 for a wrong command line, with the usage
// printed).
int take_endpoint_option(int argc, char** argv, std::string& endpoint);

}  // namespace demo
