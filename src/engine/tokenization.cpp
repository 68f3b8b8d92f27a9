// Spelling text as vocabulary keys: each key that starts the text, followed
// by the greedy longest-match spelling of the rest.
#include "engine/engine.hpp"

namespace zel {

TokenizationSet Engine::break_into_tokens(const std::string &text) const {
    TokenizationSet tokenizations;
    const size_t length = text.size();
    for (size_t first = 1; first <= length; ++first) {
        if (vocabulary_.find_ks(text.data(), first) == vocabulary_.cend())
            continue;
        Tokenization pieces{text.substr(0, first)};
        size_t position = first;
        bool spelled = true;
        while (position < length) {
            auto match = vocabulary_.longest_prefix_ks(text.data() + position, length - position);
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
