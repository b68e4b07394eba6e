#pragma once

// What the fuzz targets share: a check that stops the run with the broken condition, and input splitting.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

[[noreturn]] inline void fuzzFail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: broken: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_REQUIRE(condition) ((condition) ? (void)0 : fuzzFail(#condition, __FILE__, __LINE__))

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Cuts text at separator into exactly count fields; the last one keeps the rest, missing ones are empty.
inline std::vector<std::string> splitFields(std::string_view text, char separator, std::size_t count) {
    std::vector<std::string> fields;
    while (fields.size() + 1 < count) {
        const std::size_t cut = text.find(separator);
        if (cut == std::string_view::npos) {
            break;
        }
        fields.emplace_back(text.substr(0, cut));
        text.remove_prefix(cut + 1);
    }
    fields.emplace_back(text);
    fields.resize(count);
    return fields;
}
