// The command-line splitting of the command runners. Input: a command line.
//
// Checks:
// - the split gives at least one word, and the same words as a plain
//   reading of the rule (split at every single space; then, walking the
//   words of that split, a word ending in a backslash has every backslash
//   of the word at the current position made a space and the next word
//   appended, and the position stays);
// - without a backslash, the words joined with single spaces give the
//   command line back;
// - round trip: words without backslashes (the input cut at NUL bytes, its
//   backslashes dropped), written with each space escaped as "\ " and
//   joined with single spaces, split back into exactly those words.

#include <algorithm>
#include <string>
#include <vector>

#include "account/command_runner.h"
#include "support/fuzz_support.h"

namespace lockstep::fuzz {
namespace {

std::vector<std::string> referenceSplit(std::string_view command) {
    std::vector<std::string> initial;
    std::string word;
    for (const char c : command) {
        if (c == ' ') {
            initial.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    initial.push_back(word);
    if (command.find('\\') == std::string_view::npos) {
        return initial;
    }
    std::vector<std::string> working = initial;
    std::size_t position = 0;
    for (const std::string& step : initial) {
        if (step.empty() || step.back() != '\\' || position >= working.size()) {
            ++position;
            continue;
        }
        std::string& current = working[position];
        std::replace(current.begin(), current.end(), '\\', ' ');
        // A last word has nothing after it to take.
        if (position + 1 < working.size()) {
            current += working[position + 1];
            working.erase(working.begin() + static_cast<std::ptrdiff_t>(position + 1));
        }
    }
    return working;
}

std::string join(const std::vector<std::string>& words) {
    std::string line;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) {
            line += ' ';
        }
        line += words[i];
    }
    return line;
}

std::string escaped(std::string_view word) {
    std::string out;
    for (const char c : word) {
        if (c == ' ') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

}  // namespace

void fuzzOne(const std::uint8_t* data, std::size_t size) {
    const std::string_view command = textOf(data, size);
    const std::vector<std::string> words = splitCommandLine(command);
    check(!words.empty(), "a split without a program");
    check(words == referenceSplit(command), "the split differs from the rule");
    if (command.find('\\') == std::string_view::npos) {
        check(join(words) == command, "the words do not join back to the command line");
    }

    std::vector<std::string> plain = splitAtNul(command);
    std::vector<std::string> parts;
    for (std::string& word : plain) {
        word.erase(std::remove(word.begin(), word.end(), '\\'), word.end());
        parts.push_back(escaped(word));
    }
    check(splitCommandLine(join(parts)) == plain, "escaped words do not split back");
}

}  // namespace lockstep::fuzz
