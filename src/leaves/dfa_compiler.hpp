// Compiling a pattern tree into a Dfa: a Thompson automaton with empty
// moves, then subset construction over the code-point ranges that the
// states' transitions split the alphabet into, then the removal of states
// from which nothing can be accepted.
#pragma once

#include <memory>
#include <string>

#include "leaves/dfa.hpp"
#include "leaves/regex_syntax.hpp"

namespace zel {

// Limits past which compiling is refused with a PatternError (position 0):
// every repetition of a bounded quantifier becomes states of its own.
constexpr size_t kMostAutomatonStates = 200000;
constexpr size_t kMostDfaStates = 50000;

std::shared_ptr<const Dfa> compile_dfa(const RegexNode &pattern, std::string description);

// The pattern's Dfa.
std::shared_ptr<const Dfa> compile_pattern(const std::string &pattern);

} // namespace zel
