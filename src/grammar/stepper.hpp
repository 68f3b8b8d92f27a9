// A Stepper is one position inside one StateMachine: the state it stands in,
// the transition under way (a target and a sub-Stepper walking the edge's
// sub-machine), the finished transitions (history) and what it consumed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "grammar/current_value.hpp"
#include "grammar/refs.hpp"
#include "grammar/state_id.hpp"
#include "support/persistent_list.hpp"

namespace zel {

using TokenId = int32_t;
// The model's detokenizer and tokenizer.
using DecodeFunction = std::function<std::string(std::vector<TokenId>)>;
using EncodeFunction = std::function<std::vector<TokenId>(std::string)>;

// Call the detokenizer and the tokenizer; an absent one is an error that says
// what to pass (std::runtime_error), not the standard library's bare one.
std::string call_decode(const DecodeFunction &decode_function, std::vector<TokenId> ids);
std::vector<TokenId> call_encode(const EncodeFunction &encode_function, std::string text);

class Stepper : public nanobind::intrusive_base {
public:
    explicit Stepper(StateMachineRef state_machine,
                     std::optional<StateId> current_state = std::nullopt);
    Stepper(const Stepper &) = default;
    Stepper(Stepper &&) = default;
    virtual ~Stepper();

    virtual StepperRef clone();

    // Questions of the stepping protocol.
    virtual bool should_start_step(const std::string &token);
    virtual bool should_complete_step();
    virtual bool should_branch();
    virtual bool accepts_any_token();
    virtual bool can_accept_more_input();
    virtual bool has_reached_accept_state();
    virtual bool is_optional();
    virtual bool is_within_value();
    virtual std::vector<StepperRef> consume(const std::string &token);
    virtual std::vector<std::string> get_valid_continuations();
    virtual std::vector<std::string> get_invalid_continuations();
    virtual std::vector<StepperRef> get_final_state();

    // Values.
    virtual CurrentValue get_current_value();
    virtual std::string get_raw_value();

    // Accessors. Every read and write of a field by the native code goes
    // through these, so a subclass sees each of them.
    virtual void set_raw_value_field(std::optional<std::string> value);
    virtual std::optional<std::string> get_raw_value_field();
    virtual std::optional<std::string> get_remaining_input();
    virtual void set_remaining_input(std::optional<std::string> value);
    virtual std::vector<TokenId> get_token_ids_history();
    virtual std::vector<StepperRef> get_history();
    virtual void set_history(std::vector<StepperRef> history);
    virtual void add_to_history(StepperRef stepper);
    virtual std::optional<std::string> get_identifier();
    virtual StateId get_current_state();
    virtual void set_current_state(StateId state);
    virtual std::optional<StateId> get_target_state();
    virtual void set_target_state(std::optional<StateId> state);
    virtual uint32_t get_consumed_character_count();
    virtual void set_consumed_character_count(uint32_t count);
    virtual void set_token_ids_history(std::vector<TokenId> ids);
    virtual void append_token_ids(const std::vector<TokenId> &ids);
    virtual std::string get_token_safe_output(const DecodeFunction &decode_function);
    virtual StateMachineRef get_state_machine();
    virtual void set_state_machine(StateMachineRef machine);
    virtual StepperRef get_sub_stepper();
    virtual void set_sub_stepper(StepperRef sub_stepper);

    virtual bool equals(StepperRef other);
    virtual bool less_than(StepperRef other);

    virtual std::string to_string();
    virtual std::string repr();

    // Transformations of the stepping protocol. Each works on a clone and
    // never changes this Stepper (complete_step clears the remaining input of
    // the sub-Stepper it is given).
    StepperRef start_step(StepperRef sub_stepper, StateId target_state,
                          std::optional<std::string> token);
    std::vector<StepperRef> complete_step(StepperRef sub_stepper);
    // complete_step in two halves: the clone that took the step, and the
    // Steppers that follow from that clone.
    StepperRef finish_step(StepperRef sub_stepper);
    static std::vector<StepperRef> continue_after_step(StepperRef finished);
    StepperRef step(std::optional<std::string> new_value,
                    std::optional<std::string> remaining_input);
    std::vector<StepperRef> branch(std::optional<std::string> token);

    // The objects this Stepper refers to, for the garbage collector: calls
    // visit with each (possibly null) machine and Stepper pointer, and with
    // the reference to its newest history cell (cells are shared with clones,
    // so the collector's walk counts them as objects of their own), and stops
    // at the first non-zero answer.
    template <typename Visit> int visit_references(Visit &&visit) const {
        if (int stop = visit(state_machine_.get()))
            return stop;
        if (int stop = visit(sub_stepper_.get()))
            return stop;
        return visit(&history_.last_cell());
    }

    // Drops every shared reference this Stepper holds (garbage collection).
    void release_references();

    // The finished transitions, shared with the Steppers this one was cloned
    // from and to (for walks that must tell shared entries apart).
    const PersistentList<StepperRef> &history_list() const { return history_; }

protected:
    // The blank Stepper that clone fills in: a plain Stepper on the same
    // machine, or, for a host subclass, an instance of that subclass.
    virtual StepperRef make_clone_target();

    // The machine walked; throws when a garbage-collected Stepper lost it.
    StateMachine &machine();
    // The same, held for calls that may run Python code, which could drop
    // this Stepper's own reference midway.
    StateMachineRef held_machine();

private:
    // Both grow with everything consumed and are copied by every clone, so
    // copies share them (a clone costs the same however long the text).
    PersistentList<StepperRef> history_;
    // Token ids in the runs they were recorded in.
    PersistentList<std::vector<TokenId>> token_ids_history_;
    uint32_t consumed_character_count_ = 0;
    StateId current_state_;
    std::optional<std::string> raw_value_;
    std::optional<std::string> remaining_input_;
    StateMachineRef state_machine_;
    std::optional<StateId> target_state_;
    StepperRef sub_stepper_;
};

// Number of UTF-8 characters as the stepping protocol counts them: a lead
// byte announces its sequence length when the whole sequence fits.
uint32_t count_utf8_characters(const std::string &text);

} // namespace zel
