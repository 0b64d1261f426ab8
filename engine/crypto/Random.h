// Random bytes from the platform's generator (CNG's system-preferred RNG).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// `count` random bytes; nothing when the generator fails.
std::optional<std::string> RandomBytes(size_t count);
