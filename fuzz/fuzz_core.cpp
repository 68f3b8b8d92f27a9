// libFuzzer target for the parts of the native core that read untrusted
// text: value parsing, the vocabulary trie's prefix searches (checked
// against the sorted index the token masks use), and breaking text into
// vocabulary tokens (checked to spell the text with vocabulary keys).
//
// Input layout: a vocabulary of up to 64 short keys, then a text; the
// remaining bytes are parsed as a value.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <nanobind/intrusive/counter.inl>

#include "engine/engine.hpp"
#include "engine/vocabulary_index.hpp"
#include "grammar/current_value.hpp"
#include "support/trie_map.hpp"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

void check_prefix_searches(const zel::TrieMap &trie, const zel::VocabularyIndex &index,
                           const std::string &text) {
    for (size_t length = 0; length <= text.size() && length <= 8; ++length) {
        std::string prefix = text.substr(0, length);
        std::multiset<unsigned int> from_trie, from_index;
        auto range = trie.equal_prefix_range(prefix);
        for (auto entry = range.first; entry != range.second; ++entry)
            from_trie.insert(entry.value().begin(), entry.value().end());
        index.for_each_id_with_prefix(prefix, [&](unsigned int id) { from_index.insert(id); });
        check(from_trie == from_index);
    }
    auto longest = trie.longest_prefix(text);
    if (longest != trie.cend())
        check(text.compare(0, longest.key().size(), longest.key()) == 0);
}

void check_tokenizations(const zel::Engine &engine, const zel::TrieMap &trie, const std::string &text) {
    for (const zel::Tokenization &pieces : engine.break_into_tokens(text)) {
        std::string spelled;
        for (const std::string &piece : pieces) {
            check(trie.find(piece) != trie.cend());
            spelled += piece;
        }
        check(spelled == text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::string> keys;
    size_t key_count = input.ConsumeIntegralInRange<size_t>(0, 64);
    for (size_t i = 0; i < key_count; ++i)
        keys.push_back(input.ConsumeRandomLengthString(6));
    std::string text = input.ConsumeRandomLengthString(64);
    std::string raw_value = input.ConsumeRemainingBytesAsString();

    try {
        zel::parse_current_value(raw_value);
    } catch (const std::exception &) {
        // Refusing a value is fine; crashing is not.
    }

    std::vector<std::pair<std::string, unsigned int>> vocabulary;
    for (size_t i = 0; i < keys.size(); ++i)
        vocabulary.emplace_back("<" + std::to_string(i) + ">", unsigned(i));
    zel::DecodeFunction decode = [&](std::vector<zel::TokenId> ids) {
        std::string out;
        for (zel::TokenId id : ids)
            out += keys.at(size_t(id));
        return out;
    };
    zel::Engine engine(vocabulary, nullptr, decode, zel::EngineOptions{});
    zel::TrieMap &trie = engine.vocabulary();
    zel::VocabularyIndex index;
    index.refresh(trie);
    check_prefix_searches(trie, index, text);
    check_tokenizations(engine, trie, text);
    return 0;
}
