// MD5 message digest (RFC 1321), fed in pieces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zarn {

class Md5 {
public:
    Md5();
    void update(const uint8_t *data, size_t size);
    // The 16-byte digest of everything fed so far; the object is spent.
    std::array<uint8_t, 16> finish();

private:
    void block(const uint8_t *p);

    uint32_t state_[4];
    uint64_t length_ = 0;  // bytes fed
    uint8_t buffer_[64];
    size_t buffered_ = 0;
};

}  // namespace zarn
