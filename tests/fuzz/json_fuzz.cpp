// libFuzzer entry for the JSON parser; not part of the CMake build. By hand:
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc/common \
//       tests/fuzz/json_fuzz.cpp src/common/json.cpp -o json_fuzz && ./json_fuzz -max_len=4096
// The input is parsed from a block of exactly its size, so a read past the end shows.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *copy = (char *)malloc(size ? size : 1);
    if (!copy)
        return 0;
    memcpy(copy, data, size);
    json_value *root = nullptr;
    char err[128];
    if (json_parse(copy, size, &root, err, sizeof err) == 0) {
        // Walk the tree through the accessors the callers use.
        for (size_t i = 0; i < json_object_len(root); i++)
            (void)json_string(json_object_value_at(root, i));
        for (size_t i = 0; i < json_array_len(root); i++)
            (void)json_kind(json_array_at(root, i));
        json_free(root);
    } else if (root || !memchr(err, '\0', sizeof err)) {
        abort();
    }
    free(copy);
    return 0;
}
