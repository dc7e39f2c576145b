// Takes values off the front of a fuzzer's input, as the targets need them.
// Past the end every value is 0 and every piece empty, so any input, the
// empty one included, makes a whole run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelmor::fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return used_ == size_; }
    size_t Left() const { return size_ - used_; }

    uint8_t Byte() { return Empty() ? 0 : data_[used_++]; }
    bool Bit() { return (Byte() & 1) != 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t Long() { return static_cast<uint32_t>(Word() | (static_cast<uint32_t>(Word()) << 16)); }

    // The next count bytes, or as many as are left.
    std::string Bytes(size_t count) {
        count = std::min(count, Left());
        std::string bytes(reinterpret_cast<const char*>(data_ + used_), count);
        used_ += count;
        return bytes;
    }
    std::string Rest() { return Bytes(Left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

// Stops the run with a message when a property of the code under test does
// not hold; the fuzzer keeps the input that did it.
[[noreturn]] void Broken(const char* what);

inline void Check(bool holds, const char* what) {
    if (!holds) {
        Broken(what);
    }
}

}  // namespace kelmor::fuzz
