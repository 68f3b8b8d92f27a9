// Text forms of machines and Steppers: a short name-like form and a detailed
// form for terminals, with colour sequences and emoji marks.
#include <algorithm>

#include "support/stack_guard.hpp"
#include "grammar/state_machine.hpp"
#include "grammar/stepper.hpp"

namespace zel {

namespace {

const char *const kStartMark = "\x1b[34m\xe2\x96\xb6\xef\xb8\x8f ";
const char *const kEndMark = "\x1b[32m\xf0\x9f\x8f\x81 ";
const char *const kReset = "\x1b[0m";
const char *const kDoneMark = "\xe2\x9c\x85";
const char *const kAcceptedPrefix = "\xe2\x9c\x85 ";
const char *const kLoopMark = " \xf0\x9f\x94\x84 ";
const char *const kArrowMark = " \xe2\x9e\x94 ";
const char *const kValueColour = "\x1b[32m";
const char *const kInputColour = "\x1b[33m";

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

std::string escape_line_feeds(const std::string &text) { return replace_all(text, "\n", "\\n"); }

std::string marked_label(const StateMachine &machine, const StateId &state) {
    std::string text = state_text(state);
    if (state == machine.start_state)
        return kStartMark + text + kReset;
    if (machine.is_end_state(state))
        return kEndMark + text + kReset;
    return text;
}

std::string target_label(const StateMachine &machine, const StateId &target) {
    std::string text = state_text(target);
    if (text == "$")
        return kDoneMark;
    if (machine.is_end_state(target))
        return kEndMark + text + kReset;
    return text;
}

} // namespace

std::string StateMachine::to_string() { return class_name(); }

std::string StateMachine::repr(uint32_t indentation_level) {
    std::string name = class_name();
    if (state_graph.empty())
        return name + "()";
    const std::string indent(4 * size_t(indentation_level) + 4, ' ');

    std::vector<std::pair<std::string, const StateGraph::value_type *>> states;
    for (const auto &entry : state_graph)
        states.emplace_back(state_text(entry.first), &entry);
    std::sort(states.begin(), states.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });

    std::string out = name + "(graph={";
    for (size_t k = 0; k < states.size(); ++k) {
        const StateId &state = states[k].second->first;
        std::vector<Edge> edges = states[k].second->second;
        // "$" is the conventional final state and is listed last.
        std::stable_sort(edges.begin(), edges.end(), [](const Edge &a, const Edge &b) {
            std::string ta = state_text(a.second), tb = state_text(b.second);
            bool a_done = ta == "$", b_done = tb == "$";
            if (a_done != b_done)
                return b_done;
            return ta < tb;
        });
        bool several = edges.size() > 1;
        std::string edge_indent = several ? indent + indent : indent;

        out += "\n" + indent + marked_label(*this, state) + ": ";
        if (several)
            out += "[ ";
        for (size_t j = 0; j < edges.size(); ++j) {
            if (several)
                out += "\n" + indent + indent;
            out += replace_all(edges[j].first->to_string(), "\n", "\n" + edge_indent);
            out += " --> " + target_label(*this, edges[j].second);
            if (several && j + 1 < edges.size())
                out += ",";
        }
        if (several)
            out += "\n" + indent + "]";
        if (states.size() > 1 && k + 1 < states.size())
            out += ",";
    }
    out += "\n})";
    return out;
}

namespace {

std::string stepper_head(Stepper &stepper) {
    std::string head = stepper.has_reached_accept_state() ? kAcceptedPrefix : "";
    return head + stepper.get_state_machine()->to_string() + ".Stepper";
}

} // namespace

std::string Stepper::to_string() {
    std::string head = stepper_head(*this);
    StateId current = get_current_state();
    std::string state = "State: " + state_text(current);
    if (std::optional<StateId> target = get_target_state()) {
        if (*target == current)
            state += kLoopMark + state_text(current);
        else
            state += kArrowMark + state_text(*target);
    }
    return head + " (" + state + ")";
}

std::string Stepper::repr() {
    ensure_stack_room();
    std::string head = stepper_head(*this);
    StateId current = get_current_state();
    std::vector<std::string> lines;

    std::string state = "State: " + marked_label(machine(), current);
    if (std::optional<StateId> target = get_target_state()) {
        if (*target == current) {
            if (can_accept_more_input())
                state += kLoopMark + state_text(current);
        } else {
            state += kArrowMark + state_text(*target);
        }
    }
    lines.push_back(std::move(state));

    std::string value = get_raw_value();
    if (!value.empty())
        lines.push_back("Value: " + std::string(kValueColour) + escape_line_feeds(value) + kReset);
    if (std::optional<std::string> rest = get_remaining_input())
        lines.push_back("Remaining input: " + std::string(kInputColour) +
                        escape_line_feeds(*rest) + kReset);
    if (StepperRef sub = get_sub_stepper()) {
        std::string inner = sub->repr();
        if (inner.find('\n') == std::string::npos && inner.size() < 40)
            lines.push_back("Transition: " + inner);
        else
            lines.push_back("Transition:\n  " + replace_all(inner, "\n", "\n  "));
    }

    std::string compact = head + " (";
    for (size_t i = 0; i < lines.size(); ++i)
        compact += (i ? ", " : "") + lines[i];
    compact += ")";
    if (compact.size() <= 80)
        return compact;

    std::string block = head + " {\n";
    for (const std::string &line : lines)
        block += "  " + line + "\n";
    return block + "}";
}

} // namespace zel
