// A byte vector whose growth leaves the new bytes unset: a file read or a
// decompression writes them next, so filling them with zeros first would be
// a wasted pass over memory.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace zarn {

template <typename T>
struct UnsetAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UnsetAllocator<U>;
    };
    UnsetAllocator() = default;
    template <typename U>
    UnsetAllocator(const UnsetAllocator<U> &) noexcept {}

    // A value-initialising resize default-initialises instead.
    template <typename U>
    void construct(U *p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

// Every byte below size() has been written; resize() leaves new ones unset.
using ByteBuffer = std::vector<uint8_t, UnsetAllocator<uint8_t>>;

}  // namespace zarn
