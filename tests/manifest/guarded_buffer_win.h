#pragma once

#include <cstddef>
#include <string_view>

namespace vesk::test {

// A copy of some bytes placed so that its last byte is the last byte of a readable page, with an
// inaccessible page right after it: code that reads even one byte past the end faults at once
// instead of silently reading a terminator or heap neighbours.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::string_view bytes);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    std::string_view view() const { return {data_, size_}; }
    // True when the page right after the bytes is really inaccessible.
    bool guardActive() const;

private:
    void* region_ = nullptr;
    std::size_t regionSize_ = 0;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace vesk::test
