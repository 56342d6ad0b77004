// The fault rules and the call counts (fault_rules.h): parsed and kept here,
// asked by the calls caught in fault_points.cpp.
#include "fault_rules.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct FaultRule {
    std::string function;
    std::string name;  // empty: every call of the function counts
    DWORD first;
    DWORD last;        // 0: no end
    DWORD error;
    DWORD seen;
};

// Made on first use: a program sets its rules from a static constructor
// (faults_from_environment.cpp), which may run before this file's.
struct Rules {
    std::mutex lock;
    std::vector<FaultRule> rules;
    std::map<std::string, DWORD, std::less<>> callCounts;  // found without building a string
};

Rules &State()
{
    static Rules *state = new Rules;  // never destroyed: calls may come while the program exits
    return *state;
}

thread_local int inside;  // calls of this file's functions under way on this thread

// Marks this thread as inside the rules for as long as it lives.
struct Inside {
    Inside() { inside++; }
    ~Inside() { inside--; }
};

bool EndsWith(const char *text, const std::string &tail)
{
    if (!text) return false;
    size_t length = strlen(text);
    return length >= tail.size() && memcmp(text + length - tail.size(), tail.data(), tail.size()) == 0;
}

bool ParseNumber(const std::string &text, DWORD *value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = (DWORD)strtoul(text.c_str(), nullptr, 10);
    return true;
}

// function[(name)]@first[-[last]]=error
bool ParseRule(const std::string &text, FaultRule *rule)
{
    size_t at = text.find('@'), equals = text.find('=');
    if (at == std::string::npos || equals == std::string::npos || equals < at) return false;
    std::string head = text.substr(0, at), range = text.substr(at + 1, equals - at - 1);
    size_t open = head.find('(');
    if (open != std::string::npos) {
        if (head.back() != ')') return false;
        rule->name = head.substr(open + 1, head.size() - open - 2);
        head.resize(open);
    }
    if (head.empty()) return false;
    rule->function = head;
    size_t dash = range.find('-');
    if (!ParseNumber(range.substr(0, dash), &rule->first) || rule->first == 0) return false;
    if (dash == std::string::npos) {
        rule->last = rule->first;
    } else if (dash + 1 == range.size()) {
        rule->last = 0;
    } else if (!ParseNumber(range.substr(dash + 1), &rule->last) || rule->last < rule->first) {
        return false;
    }
    rule->seen = 0;
    return ParseNumber(text.substr(equals + 1), &rule->error);
}

bool SetRulesLocked(const char *text)
{
    std::vector<FaultRule> rules;
    std::string all = text ? text : "";
    size_t start = 0;
    while (start < all.size()) {
        size_t comma = all.find(',', start);
        if (comma == std::string::npos) comma = all.size();
        FaultRule rule;
        if (comma > start) {
            if (!ParseRule(all.substr(start, comma - start), &rule)) return false;
            rules.push_back(rule);
        }
        start = comma + 1;
    }
    State().rules.swap(rules);
    State().callCounts.clear();
    return true;
}

}  // namespace

bool InsideFaultRules()
{
    return inside > 0;
}

bool FaultRuleHit(const char *function, const char *argument, DWORD *error, const char *second)
{
    Inside mark;
    std::lock_guard<std::mutex> hold(State().lock);
    auto &callCounts = State().callCounts;
    auto counted = callCounts.find(function);
    if (counted == callCounts.end()) counted = callCounts.emplace(function, 0).first;
    counted->second++;
    bool hit = false;
    for (FaultRule &rule : State().rules) {
        if (rule.function != function && rule.function != "*") continue;
        if (!rule.name.empty() && !EndsWith(argument, rule.name) && !EndsWith(second, rule.name)) continue;
        rule.seen++;
        if (!hit && rule.seen >= rule.first && (rule.last == 0 || rule.seen <= rule.last)) {
            *error = rule.error;
            hit = true;
        }
    }
    return hit;
}

bool SetFaultRules(const char *rules)
{
    Inside mark;
    std::lock_guard<std::mutex> hold(State().lock);
    return SetRulesLocked(rules);
}

std::string FaultCallCounts()
{
    Inside mark;
    std::lock_guard<std::mutex> hold(State().lock);
    std::string lines;
    for (const auto &counted : State().callCounts) lines += counted.first + " " + std::to_string(counted.second) + "\n";
    return lines;
}

DWORD FaultCallCount(const char *function)
{
    Inside mark;
    std::lock_guard<std::mutex> hold(State().lock);
    auto &callCounts = State().callCounts;
    auto found = callCounts.find(std::string_view(function ? function : ""));
    return found == callCounts.end() ? 0 : found->second;
}
