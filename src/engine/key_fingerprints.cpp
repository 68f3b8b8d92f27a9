#include "engine/key_fingerprints.hpp"

#include <algorithm>

namespace zel {

namespace {

// Arithmetic modulo the Mersenne prime 2**61 - 1.
constexpr uint64_t kModulus = (uint64_t(1) << 61) - 1;
constexpr uint64_t kBase = 0x1F3D5B79A2C4E6F1ull % kModulus;

uint64_t multiply(uint64_t a, uint64_t b) {
    unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    uint64_t folded = uint64_t(product & kModulus) + uint64_t(product >> 61);
    return folded >= kModulus ? folded - kModulus : folded;
}

uint64_t add(uint64_t a, uint64_t b) {
    uint64_t sum = a + b;
    return sum >= kModulus ? sum - kModulus : sum;
}

// Bytes count from 1, so that leading zero bytes change the fingerprint.
uint64_t byte_value(char byte) { return uint64_t(static_cast<unsigned char>(byte)) + 1; }

} // namespace

uint64_t KeyFingerprints::of(const char *data, size_t size) {
    uint64_t fingerprint = 0;
    for (size_t i = 0; i < size; ++i)
        fingerprint = add(multiply(fingerprint, kBase), byte_value(data[i]));
    return fingerprint;
}

void KeyFingerprints::build(const std::vector<std::string> &keys) {
    lengths_.clear();
    fingerprints_.clear();
    fingerprints_.reserve(keys.size());
    for (const std::string &key : keys) {
        if (key.empty())
            continue;
        lengths_.push_back(key.size());
        fingerprints_.insert(of(key.data(), key.size()));
    }
    std::sort(lengths_.begin(), lengths_.end());
    lengths_.erase(std::unique(lengths_.begin(), lengths_.end()), lengths_.end());
}

TextFingerprints::TextFingerprints(const std::string &text)
    : prefixes_(text.size() + 1, 0), powers_(text.size() + 1, 1) {
    for (size_t i = 0; i < text.size(); ++i) {
        prefixes_[i + 1] = add(multiply(prefixes_[i], kBase), byte_value(text[i]));
        powers_[i + 1] = multiply(powers_[i], kBase);
    }
}

uint64_t TextFingerprints::of(size_t position, size_t size) const {
    uint64_t whole = prefixes_[position + size];
    uint64_t before = multiply(prefixes_[position], powers_[size]);
    return whole >= before ? whole - before : whole + kModulus - before;
}

} // namespace zel
