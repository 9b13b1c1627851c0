# Install rules, the exported CMake package and the pkg-config file.
