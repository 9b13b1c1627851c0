// cdsd's seed file, loaded into a fresh store.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Seed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cds::store::Engine engine;
  std::string error;
  if (!cdsd::load_seed_text(std::string(reinterpret_cast<const char*>(data), size), "the seed", engine, &error) &&
      error.empty())
    std::abort();  // a refusal always says why
  return 0;
}
