// Which prefixes of a text are vocabulary keys, in time linear in the longest
// key. The trie's longest-prefix search hashes every prefix of the slice it
// is given, which is quadratic in the slice: with one very long key, spelling
// a long text took minutes. Here a text's prefixes are tested only at the key
// lengths the vocabulary has, each in constant time by comparing fingerprints
// (polynomial hashes, computed for every prefix of the text at once); a
// fingerprint that matches is confirmed in the trie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace zel {

class KeyFingerprints {
public:
    void build(const std::vector<std::string> &keys);

    // The lengths of the non-empty keys, each once, ascending.
    const std::vector<size_t> &lengths() const { return lengths_; }
    // False when no key has this fingerprint; true may be a collision.
    bool may_be_key(uint64_t fingerprint) const { return fingerprints_.count(fingerprint) != 0; }

    static uint64_t of(const char *data, size_t size);

private:
    std::vector<size_t> lengths_;
    std::unordered_set<uint64_t> fingerprints_;
};

// The fingerprints of every slice of one text.
class TextFingerprints {
public:
    explicit TextFingerprints(const std::string &text);
    // The fingerprint of text[position, position + size), as
    // KeyFingerprints::of computes it.
    uint64_t of(size_t position, size_t size) const;

private:
    std::vector<uint64_t> prefixes_;
    std::vector<uint64_t> powers_;
};

} // namespace zel
