// Lexical leaves: machines whose Steppers read text themselves, natively,
// by walking a Dfa. One kind of leaf, built from a literal text, from a
// character class with length bounds, or from a regular expression.
//
// A leaf Stepper stands in a Dfa state, kept as its current_state (an int;
// anything else, or a number out of range, reads as the dead state). It
// consumes the longest prefix of a token the Dfa takes and leaves the rest as
// remaining input. In whole-token mode (literals, keywords) it takes a token
// only when the Dfa takes all of it, or finishes the leaf on the way (no
// code point can follow) and leaves the rest; otherwise it refuses the token.
//
// For exact masks: a LexicalLeafStepper answers dfa() and dfa_state(); the
// tokens it takes whole from a state are exactly those whose walk from that
// state never meets Dfa::kDead, in either mode.
#pragma once

#include <memory>
#include <string>

#include "grammar/state_machine.hpp"
#include "grammar/stepper.hpp"
#include "leaves/dfa.hpp"

namespace zel {

// Turns an accepted leaf's text into its value (a host function, say).
class LeafValueReader {
public:
    virtual ~LeafValueReader();
    virtual CurrentValue read(const std::string &accepted_text) = 0;
};

class LexicalLeaf : public StateMachine {
public:
    LexicalLeaf(std::shared_ptr<const Dfa> dfa, bool whole_tokens, std::string class_name,
                bool is_optional = false, bool is_case_sensitive = true,
                std::optional<std::string> identifier = std::nullopt);

    const std::shared_ptr<const Dfa> &dfa() const { return dfa_; }
    bool whole_tokens() const { return whole_tokens_; }

    StepperRef get_new_stepper(std::optional<StateId> state) override;
    std::string class_name() override { return class_name_; }
    std::string repr(uint32_t indentation_level) override;

    // How accepted text becomes a value; none: the core's own reading.
    std::shared_ptr<LeafValueReader> value_reader;

private:
    std::shared_ptr<const Dfa> dfa_;
    bool whole_tokens_;
    std::string class_name_;
};

class LexicalLeafStepper final : public Stepper {
public:
    LexicalLeafStepper(StateMachineRef leaf, std::shared_ptr<const Dfa> dfa, bool whole_tokens,
                       std::optional<StateId> state);
    LexicalLeafStepper(const LexicalLeafStepper &) = default;

    const Dfa &dfa() const { return *dfa_; }
    const std::shared_ptr<const Dfa> &shared_dfa() const { return dfa_; }
    Dfa::State dfa_state();

    StepperRef clone() override;
    bool should_start_step(const std::string &token) override;
    std::vector<StepperRef> consume(const std::string &token) override;
    bool can_accept_more_input() override;
    bool has_reached_accept_state() override;
    bool accepts_any_token() override { return false; }
    std::vector<std::string> get_valid_continuations() override;
    std::vector<std::string> get_invalid_continuations() override;
    CurrentValue get_current_value() override;

private:
    // The walk over `token` from this Stepper's state, or none when the
    // token is refused.
    std::optional<Dfa::Walk> taken(const std::string &token);

    std::shared_ptr<const Dfa> dfa_;
    bool whole_tokens_;
};

// Continuations are listed where at most this many code points can follow;
// refused code points where at most this many are refused.
constexpr uint64_t kMostListedContinuations = 256;

} // namespace zel
