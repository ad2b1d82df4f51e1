// The account-file readers (passwd, shadow, group, gshadow). Input: the
// content of an account file; every line goes through every line parser,
// and the whole content through the file-level reading.
//
// Checks:
// - lines: each line lies in the content where its offset says, the lines
//   and their line feeds make up the content, and replacing a line by
//   itself (or a field by itself) changes nothing;
// - round trip: an entry written back as a line (fields joined by ":",
//   members by ",") parses to the same entry, and only well-formed lines
//   (no NUL, not a comment or NIS line, not empty) give entries;
// - the file-level reading gives exactly the lines' entries, in order, and
//   the lookup by name finds the first entry of that name.

#include "platform/directory/account_files.h"

#include <string>
#include <vector>

#include "support/fuzz_support.h"

namespace lockstep::fuzz {
namespace {

namespace af = account_files;

std::string days(const std::optional<std::int64_t>& value) {
    return value ? std::to_string(*value) : std::string();
}

std::string members(const std::vector<std::string>& names) {
    return af::joinFields(names, ',');
}

std::string lineOf(const af::PasswdEntry& e) {
    return af::joinFields({e.name, e.password, std::to_string(e.uid), std::to_string(e.gid),
                           e.gecos, e.home, e.shell},
                          ':');
}
std::string lineOf(const af::ShadowEntry& e) {
    return af::joinFields(
        {e.name, e.password, days(e.lastChange), days(e.minimumAge), days(e.maximumAge),
         days(e.warningPeriod), days(e.inactivityPeriod), days(e.expirationDate), ""},
        ':');
}
std::string lineOf(const af::GroupEntry& e) {
    return af::joinFields({e.name, e.password, std::to_string(e.gid), members(e.members)}, ':');
}
std::string lineOf(const af::GShadowEntry& e) {
    return af::joinFields({e.name, e.password, members(e.administrators), members(e.members)}, ':');
}

bool same(const af::PasswdEntry& a, const af::PasswdEntry& b) {
    return a.name == b.name && a.password == b.password && a.uid == b.uid && a.gid == b.gid &&
           a.gecos == b.gecos && a.home == b.home && a.shell == b.shell;
}
bool same(const af::ShadowEntry& a, const af::ShadowEntry& b) {
    return a.name == b.name && a.password == b.password && a.lastChange == b.lastChange &&
           a.minimumAge == b.minimumAge && a.maximumAge == b.maximumAge &&
           a.warningPeriod == b.warningPeriod && a.inactivityPeriod == b.inactivityPeriod &&
           a.expirationDate == b.expirationDate;
}
bool same(const af::GroupEntry& a, const af::GroupEntry& b) {
    return a.name == b.name && a.password == b.password && a.gid == b.gid && a.members == b.members;
}
bool same(const af::GShadowEntry& a, const af::GShadowEntry& b) {
    return a.name == b.name && a.password == b.password && a.administrators == b.administrators &&
           a.members == b.members;
}

bool wellFormedLine(std::string_view line) {
    return !line.empty() && line.size() <= af::kMaxLineBytes && line.front() != '#' &&
           line.front() != '+' && line.front() != '-' && line.find('\0') == std::string_view::npos;
}

void checkMembers(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        check(!name.empty() && name.find_first_of(":,\n") == std::string::npos,
              "a member name that cannot stand in a member list");
    }
}

template <typename Entry, typename Parse>
void checkKind(std::string_view content, const std::vector<af::Line>& lines, Parse parse,
               const char* kind) {
    std::vector<const af::Line*> parsedLines;
    for (const af::Line& line : lines) {
        const std::optional<Entry> entry = parse(line.text);
        if (!entry) {
            continue;
        }
        parsedLines.push_back(&line);
        check(wellFormedLine(line.text), "an entry from a line that is not well-formed");
        check(!entry->name.empty() && entry->name.find(':') == std::string::npos,
              "an entry with an unusable name");
        if constexpr (requires { entry->members; }) {
            checkMembers(entry->members);
        }
        if constexpr (requires { entry->administrators; }) {
            checkMembers(entry->administrators);
        }
        const std::string written = lineOf(*entry);
        const std::optional<Entry> again = parse(written);
        check(again.has_value() && same(*again, *entry),
              (std::string("a written-back ") + kind + " entry does not parse the same").c_str());
    }

    const auto entries = af::parseEntries<Entry>(content, parse);
    check(entries.size() == parsedLines.size(), "the file reading skipped or added entries");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        check(entries[i].line.offset == parsedLines[i]->offset &&
                  entries[i].line.text == parsedLines[i]->text,
              "the file reading gives entries out of order");
    }
    if (!entries.empty()) {
        const std::string& name = entries.back().entry.name;
        const auto* found = af::findByName(entries, name);
        check(found != nullptr && found->entry.name == name, "a listed name is not found");
        for (const auto& located : entries) {
            if (&located == found) {
                break;
            }
            check(located.entry.name != name, "the lookup skipped an earlier entry of the name");
        }
    }
}

void checkLines(std::string_view content, const std::vector<af::Line>& lines) {
    std::string rebuilt;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const af::Line& line = lines[i];
        check(line.offset <= content.size() &&
                  content.substr(line.offset, line.text.size()) == line.text &&
                  line.text.find('\n') == std::string_view::npos,
              "a line that is not where its offset says");
        check(af::replaceLine(content, line, line.text) == content,
              "replacing a line by itself changes the content");
        if (i > 0) {
            rebuilt += '\n';
        }
        rebuilt += line.text;

        const std::vector<std::string_view> fields = af::splitFields(line.text, ':');
        for (std::size_t f = 0; f < fields.size() && f < 16; ++f) {
            check(af::replaceField(line.text, f, fields[f]) == line.text,
                  "replacing a field by itself changes the line");
        }
    }
    check(rebuilt == content || rebuilt + '\n' == content, "the lines do not make up the content");
}

}  // namespace

void fuzzOne(const std::uint8_t* data, std::size_t size) {
    const std::string_view content = textOf(data, size);
    const std::vector<af::Line> lines = af::splitLines(content);
    checkLines(content, lines);
    checkKind<af::PasswdEntry>(content, lines, af::parsePasswdLine, "passwd");
    checkKind<af::ShadowEntry>(content, lines, af::parseShadowLine, "shadow");
    checkKind<af::GroupEntry>(content, lines, af::parseGroupLine, "group");
    checkKind<af::GShadowEntry>(content, lines, af::parseGShadowLine, "gshadow");

    // Member lists on their own: no empty names, and they split back.
    const std::vector<std::string> names = af::splitMembers(content);
    for (const std::string& name : names) {
        check(!name.empty(), "an empty member name");
    }
    check(af::splitMembers(members(names)) == names, "a member list does not split back");
}

}  // namespace lockstep::fuzz
