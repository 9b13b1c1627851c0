#pragma once
// The initial device tree of a daemon, read from a JSON file (format: docs/cdsd.md).
#include <string>

#include "store/Engine.h"

namespace cdsd {

// Creates in `engine` the devices and channels the JSON file at `path`
// describes. False with `*error` naming the file, the place and the fault when
// the file cannot be read, is not such a document, or the store refuses a part
// of it; the store may then hold the parts made before the fault.
bool load_seed(const std::string& path, cds::store::Engine& engine, std::string* error);

// The same for the text of such a file; `source` names it in messages
// ("the seed file PATH").
bool load_seed_text(const std::string& text, const std::string& source, cds::store::Engine& engine,
                    std::string* error);

}  // namespace cdsd
