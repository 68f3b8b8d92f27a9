// Spelling text as vocabulary keys: each key that starts the text, followed
// by the greedy longest-match spelling of the rest. Searches look at no more
// of the text than the longest key holds: the trie's longest-prefix search
// tests every length of the text it is given, which on a long text would
// make spelling it cubic.
#include "engine/engine.hpp"

#include <algorithm>

namespace zel {

TokenizationSet Engine::break_into_tokens(const std::string &text) const {
    TokenizationSet tokenizations;
    const size_t length = text.size();
    vocabulary_index_.refresh(vocabulary_);
    const size_t longest_key = vocabulary_index_.longest_key_size();
    for (size_t first = 1; first <= length && first <= longest_key; ++first) {
        if (vocabulary_.find_ks(text.data(), first) == vocabulary_.cend())
            continue;
        Tokenization pieces{text.substr(0, first)};
        size_t position = first;
        bool spelled = true;
        while (position < length) {
            auto match = vocabulary_.longest_prefix_ks(text.data() + position,
                                                       std::min(length - position, longest_key));
            // An empty key matches everywhere and consumes nothing.
            if (match == vocabulary_.cend() || match.key().empty()) {
                spelled = false;
                break;
            }
            std::string key = match.key();
            position += key.size();
            pieces.push_back(std::move(key));
        }
        if (spelled)
            tokenizations.insert(std::move(pieces));
    }
    return tokenizations;
}

} // namespace zel
