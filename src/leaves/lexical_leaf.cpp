// Lexical leaves: creating Steppers, consuming text along the Dfa, and the
// questions and continuations of the stepping protocol.
#include "leaves/lexical_leaf.hpp"

#include "leaves/code_points.hpp"

namespace zel {

namespace {
// Surrogates have no UTF-8 form: they are never listed.
bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
} // namespace

LeafValueReader::~LeafValueReader() = default;

LexicalLeaf::LexicalLeaf(std::shared_ptr<const Dfa> dfa, bool whole_tokens, std::string class_name,
                         bool is_optional, bool is_case_sensitive,
                         std::optional<std::string> identifier)
    : StateMachine({}, 0, {std::string("$")}, is_optional, is_case_sensitive, std::move(identifier)),
      dfa_(std::move(dfa)), whole_tokens_(whole_tokens), class_name_(std::move(class_name)) {}

StepperRef LexicalLeaf::get_new_stepper(std::optional<StateId> state) {
    return StepperRef(new LexicalLeafStepper(StateMachineRef(this), dfa_, whole_tokens_,
                                             state ? std::move(state) : StateId(dfa_->start())));
}

std::string LexicalLeaf::repr(uint32_t) {
    std::string text = class_name_ + "(";
    for (char c : dfa_->description()) {
        if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text + ")";
}

LexicalLeafStepper::LexicalLeafStepper(StateMachineRef leaf, std::shared_ptr<const Dfa> dfa,
                                       bool whole_tokens, std::optional<StateId> state)
    : Stepper(std::move(leaf), std::move(state)), dfa_(std::move(dfa)),
      whole_tokens_(whole_tokens) {}

Dfa::State LexicalLeafStepper::dfa_state() {
    StateId state = get_current_state();
    const int32_t *number = std::get_if<int32_t>(&state);
    if (!number || *number < 0 || size_t(*number) >= dfa_->state_count())
        return Dfa::kDead;
    return *number;
}

StepperRef LexicalLeafStepper::clone() { return StepperRef(new LexicalLeafStepper(*this)); }

std::optional<Dfa::Walk> LexicalLeafStepper::taken(const std::string &token) {
    Dfa::Walk walk = dfa_->walk(dfa_state(), token);
    if (walk.bytes == 0)
        return std::nullopt;
    if (whole_tokens_ && walk.bytes < token.size() && dfa_->can_continue(walk.state))
        return std::nullopt;
    return walk;
}

bool LexicalLeafStepper::should_start_step(const std::string &token) {
    if (token.empty())
        return false;
    if (whole_tokens_)
        return taken(token).has_value();
    size_t at = 0;
    return dfa_->next(dfa_state(), next_code_point(token, at)) != Dfa::kDead;
}

std::vector<StepperRef> LexicalLeafStepper::consume(const std::string &token) {
    std::optional<Dfa::Walk> walk = taken(token);
    if (!walk)
        return {};
    auto successor = new LexicalLeafStepper(*this);
    StepperRef result(successor);
    std::optional<std::string> raw = get_raw_value_field();
    std::string value = raw ? std::move(*raw) : get_raw_value();
    value.append(token, 0, walk->bytes);
    successor->set_sub_stepper(StepperRef());
    successor->set_raw_value_field(std::move(value));
    successor->set_consumed_character_count(get_consumed_character_count() + walk->characters);
    successor->set_remaining_input(walk->bytes < token.size()
                                       ? std::optional<std::string>(token.substr(walk->bytes))
                                       : std::nullopt);
    successor->set_current_state(StateId(walk->state));
    return {result};
}

bool LexicalLeafStepper::can_accept_more_input() { return dfa_->can_continue(dfa_state()); }

bool LexicalLeafStepper::has_reached_accept_state() { return dfa_->is_accepting(dfa_state()); }

std::vector<std::string> LexicalLeafStepper::get_valid_continuations() {
    Dfa::State state = dfa_state();
    if (state == Dfa::kDead)
        return {};
    uint64_t count = 0;
    for (const Dfa::Range &range : dfa_->transitions(state))
        count += uint64_t(range.last) - range.first + 1;
    if (count > kMostListedContinuations)
        return {};
    std::vector<std::string> continuations;
    for (const Dfa::Range &range : dfa_->transitions(state)) {
        for (char32_t c = range.first; c <= range.last; ++c) {
            if (is_surrogate(c))
                continue;
            std::string text;
            append_utf8(text, c);
            // Runs on while exactly one code point can follow and nothing
            // is accepted yet: the rest of a literal or a keyword. Every
            // state can still reach acceptance, so the run ends.
            Dfa::State at = range.target;
            while (!dfa_->is_accepting(at) && dfa_->transitions(at).size() == 1 &&
                   dfa_->transitions(at)[0].first == dfa_->transitions(at)[0].last) {
                const Dfa::Range &only = dfa_->transitions(at)[0];
                append_utf8(text, only.first);
                at = only.target;
            }
            continuations.push_back(std::move(text));
        }
    }
    return continuations;
}

std::vector<std::string> LexicalLeafStepper::get_invalid_continuations() {
    Dfa::State state = dfa_state();
    if (state == Dfa::kDead)
        return {};
    CodePointSet allowed;
    for (const Dfa::Range &range : dfa_->transitions(state))
        allowed.add(range.first, range.last);
    if (allowed.size() <= kMostListedContinuations)
        return {}; // the valid continuations are listed instead
    CodePointSet refused = allowed.complement();
    if (refused.size() > kMostListedContinuations)
        return {};
    std::vector<std::string> invalid;
    for (const CodePointSet::Range &range : refused.ranges())
        for (char32_t c = range.first; c <= range.second; ++c) {
            if (is_surrogate(c))
                continue;
            std::string text;
            append_utf8(text, c);
            invalid.push_back(std::move(text));
        }
    return invalid;
}

CurrentValue LexicalLeafStepper::get_current_value() {
    if (has_reached_accept_state()) {
        if (auto *leaf = dynamic_cast<LexicalLeaf *>(get_state_machine().get()))
            if (leaf->value_reader)
                return leaf->value_reader->read(get_raw_value());
    }
    return Stepper::get_current_value();
}

} // namespace zel
