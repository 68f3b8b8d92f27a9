// Spelling text as vocabulary keys: each key that starts the text, followed
// by the greedy longest-match spelling of the rest. Prefixes are tested only
// at the vocabulary's key lengths, by fingerprint (key_fingerprints.hpp), and
// the longest key at each position is found once however many spellings
// pass through it: spelling costs at most the text's length times the
// number of key lengths, plus the spellings themselves.
#include "engine/engine.hpp"

#include "engine/key_fingerprints.hpp"
#include "support/interrupts.hpp"

namespace zel {

namespace {

class PrefixKeys {
public:
    PrefixKeys(const std::string &text, const TrieMap &vocabulary, const KeyFingerprints &keys)
        : text_(text), vocabulary_(vocabulary), keys_(keys), text_fingerprints_(text),
          longest_(text.size() + 1, kUnknown) {}

    bool is_key(size_t position, size_t size) const {
        check_for_interrupt();
        return keys_.may_be_key(text_fingerprints_.of(position, size)) &&
               vocabulary_.find_ks(text_.data() + position, size) != vocabulary_.cend();
    }

    // Bytes in the longest non-empty key at `position`, or 0.
    size_t longest_at(size_t position) {
        if (longest_[position] == kUnknown) {
            longest_[position] = 0;
            const std::vector<size_t> &lengths = keys_.lengths();
            for (auto size = lengths.rbegin(); size != lengths.rend(); ++size) {
                if (*size <= text_.size() - position && is_key(position, *size)) {
                    longest_[position] = *size;
                    break;
                }
            }
        }
        return longest_[position];
    }

private:
    static constexpr size_t kUnknown = size_t(-1);
    const std::string &text_;
    const TrieMap &vocabulary_;
    const KeyFingerprints &keys_;
    TextFingerprints text_fingerprints_;
    std::vector<size_t> longest_;
};

} // namespace

TokenizationSet Engine::break_into_tokens(const std::string &text) const {
    TokenizationSet tokenizations;
    const size_t length = text.size();
    vocabulary_index_.refresh(vocabulary_);
    const KeyFingerprints &keys = vocabulary_index_.fingerprints();
    PrefixKeys prefixes(text, vocabulary_, keys);
    for (size_t first : keys.lengths()) {
        if (first > length)
            break;
        if (!prefixes.is_key(0, first))
            continue;
        Tokenization pieces{text.substr(0, first)};
        size_t position = first;
        bool spelled = true;
        while (position < length) {
            check_for_interrupt();
            // An empty key would match everywhere and consume nothing.
            size_t size = prefixes.longest_at(position);
            if (size == 0) {
                spelled = false;
                break;
            }
            pieces.push_back(text.substr(position, size));
            position += size;
        }
        if (spelled)
            tokenizations.insert(std::move(pieces));
    }
    return tokenizations;
}

} // namespace zel
