#pragma once
#include <cstddef>

namespace velotz {

// A weight file compiled into the library (see cmake/embed_models.cmake).
struct EmbeddedModel {
    const char* name;            // file name without ".eisnn"
    const unsigned char* bytes;
    std::size_t size;
};

// The embedded weight files, sorted by name; *count receives their number.
const EmbeddedModel* embedded_models(std::size_t* count);

}  // namespace velotz
