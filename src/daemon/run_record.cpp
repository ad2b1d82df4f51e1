#include "daemon/run_record.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "platform/scoped_fd.h"

namespace lockstep {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kRecordVersion = 1;

constexpr std::array<std::pair<RunOutcome::Result, std::string_view>, 8> kResultNames = {{
    {RunOutcome::Result::noCredential, "noCredential"},
    {RunOutcome::Result::incorrectPassword, "incorrectPassword"},
    {RunOutcome::Result::accountDoesNotExist, "accountDoesNotExist"},
    {RunOutcome::Result::accountLocked, "accountLocked"},
    {RunOutcome::Result::otherError, "otherError"},
    {RunOutcome::Result::passwordSetFailed, "passwordSetFailed"},
    {RunOutcome::Result::armed, "armed"},
    {RunOutcome::Result::notArmed, "notArmed"},
}};

// "2026-12-07T01:02:03Z".
std::string utcText(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    std::array<char, 32> text{};
    const std::size_t length =
        std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(text.data(), length);
}

Json textOrNull(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

Json toolJson(const ToolRun& tool) {
    return {
        {"path", tool.tool.string()},
        {"unsafe", tool.unsafeBecause.has_value()},
        {"unsafeBecause", textOrNull(tool.unsafeBecause)},
        {"startError", textOrNull(tool.startError)},
        {"exitStatus", tool.exit && tool.exit->exited ? Json(tool.exit->code) : Json(nullptr)},
        {"signal", tool.exit && !tool.exit->exited ? Json(tool.exit->code) : Json(nullptr)},
        {"durationMs", tool.duration.count()},
        {"timedOut", tool.timedOut},
        {"killed", tool.killed},
        {"firstLine", tool.firstLine.empty() ? Json(nullptr) : Json(tool.firstLine)},
    };
}

// Members of the record, read with their types checked; each reader throws
// std::runtime_error naming the member that is wrong.
const Json& member(const Json& object, const char* name, Json::value_t type, bool nullable) {
    if (!object.contains(name)) {
        throw std::runtime_error(std::string("no member \"") + name + "\"");
    }
    const Json& found = object.at(name);
    const bool numberWanted = type == Json::value_t::number_integer;
    const bool typeMatches = numberWanted ? found.is_number_integer() : found.type() == type;
    if (!typeMatches && !(nullable && found.is_null())) {
        throw std::runtime_error(std::string("member \"") + name + "\" has the wrong type");
    }
    return found;
}

std::optional<std::string> optionalText(const Json& object, const char* name) {
    const Json& value = member(object, name, Json::value_t::string, true);
    return value.is_null() ? std::nullopt : std::optional(value.get<std::string>());
}

std::optional<int> optionalInt(const Json& object, const char* name) {
    const Json& value = member(object, name, Json::value_t::number_integer, true);
    return value.is_null() ? std::nullopt : std::optional(value.get<int>());
}

bool flag(const Json& object, const char* name) {
    return member(object, name, Json::value_t::boolean, false).get<bool>();
}

ToolRun toolFromJson(const Json& json) {
    ToolRun tool;
    tool.tool = member(json, "path", Json::value_t::string, false).get<std::string>();
    tool.unsafeBecause = optionalText(json, "unsafeBecause");
    tool.startError = optionalText(json, "startError");
    if (const auto code = optionalInt(json, "exitStatus")) {
        tool.exit = ExitStatus{.exited = true, .code = *code};
    } else if (const auto signal = optionalInt(json, "signal")) {
        tool.exit = ExitStatus{.exited = false, .code = *signal};
    }
    tool.duration = std::chrono::milliseconds(
        member(json, "durationMs", Json::value_t::number_integer, false).get<std::int64_t>());
    tool.timedOut = flag(json, "timedOut");
    tool.killed = flag(json, "killed");
    tool.firstLine = optionalText(json, "firstLine").value_or("");
    return tool;
}

// Writes all of `text`, retrying interruptions and short writes.
bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool fail(std::string* why, const std::string& what) {
    *why = what + ": " + std::strerror(errno);
    return false;
}

// The temporary file's name: hidden, and unpredictable so that nobody can
// have planted it.
std::string temporaryName() {
    std::array<std::uint8_t, 8> random{};
    std::size_t got = 0;
    while (got < random.size()) {
        const ssize_t count = ::getrandom(random.data() + got, random.size() - got, 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        got += static_cast<std::size_t>(count);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = "." + std::string(kRunRecordName) + ".";
    for (const std::uint8_t byte : random) {
        name += kHex[byte >> 4U];
        name += kHex[byte & 0x0FU];
    }
    name += "." + std::to_string(::getpid());
    return name;
}

}  // namespace

std::string_view resultName(RunOutcome::Result result) {
    for (const auto& [value, name] : kResultNames) {
        if (value == result) {
            return name;
        }
    }
    return "noCredential";
}

std::string runRecordJson(const RunOutcome& outcome) {
    Json json;
    json["version"] = kRecordVersion;
    json["time"] = utcText(outcome.time);
    json["timestamp"] =
        std::chrono::duration_cast<std::chrono::seconds>(outcome.time.time_since_epoch()).count();
    json["path"] = outcome.enrolment ? "enrolment" : "plain";
    json["account"] = outcome.account.empty() ? Json(nullptr) : Json(outcome.account);
    json["result"] = resultName(outcome.result);
    json["resultLine"] = outcome.resultLine.empty() ? Json(nullptr) : Json(outcome.resultLine);
    json["armed"] = outcome.armed;
    if (const auto& keychain = outcome.keychain) {
        json["keychain"] = {
            {"kind", keychain->system ? "System" : "user"},
            {"path", keychain->path ? Json(keychain->path->string()) : Json(nullptr)},
        };
    } else {
        json["keychain"] = nullptr;
    }
    json["restartTool"] = outcome.tool ? toolJson(*outcome.tool) : Json(nullptr);
    // Account names and tool output are meant to be UTF-8; a byte that is
    // not is replaced rather than losing the record.
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::optional<RunOutcome> parseRunRecord(std::string_view text, std::string* why) {
    const Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        *why = "not a JSON object";
        return std::nullopt;
    }
    try {
        if (member(json, "version", Json::value_t::number_integer, false).get<int>() !=
            kRecordVersion) {
            *why = "a record of another version";
            return std::nullopt;
        }
        RunOutcome outcome;
        outcome.time = std::chrono::system_clock::time_point(std::chrono::seconds(
            member(json, "timestamp", Json::value_t::number_integer, false).get<std::int64_t>()));
        const std::string path = member(json, "path", Json::value_t::string, false);
        if (path != "enrolment" && path != "plain") {
            throw std::runtime_error("member \"path\" is neither \"enrolment\" nor \"plain\"");
        }
        outcome.enrolment = path == "enrolment";
        outcome.account = optionalText(json, "account").value_or("");
        const std::string result = member(json, "result", Json::value_t::string, false);
        bool known = false;
        for (const auto& [value, name] : kResultNames) {
            if (name == result) {
                outcome.result = value;
                known = true;
            }
        }
        if (!known) {
            throw std::runtime_error("unknown result \"" + result + "\"");
        }
        outcome.resultLine = optionalText(json, "resultLine").value_or("");
        outcome.armed = flag(json, "armed");
        if (const Json& keychain = member(json, "keychain", Json::value_t::object, true);
            !keychain.is_null()) {
            const std::string kind = member(keychain, "kind", Json::value_t::string, false);
            outcome.keychain = RunOutcome::Keychain{.system = kind == "System"};
            if (const auto file = optionalText(keychain, "path")) {
                outcome.keychain->path = *file;
            }
        }
        if (const Json& tool = member(json, "restartTool", Json::value_t::object, true);
            !tool.is_null()) {
            outcome.tool = toolFromJson(tool);
        }
        return outcome;
    } catch (const std::exception& error) {
        *why = error.what();
        return std::nullopt;
    }
}

bool writeRunRecord(const std::filesystem::path& file, const RunOutcome& outcome,
                    std::string* why) {
    const std::filesystem::path folder = file.parent_path();
    const std::string name = file.filename().string();
    if (folder.empty() || name.empty()) {
        *why = "not a file in a folder";
        return false;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail(why, "cannot make " + folder.string());
    }
    const ScopedFD directory(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
        return fail(why, "cannot open " + folder.string());
    }
    const std::string temporary = temporaryName();
    int fd = -1;
    do {
        fd = ::openat(directory.get(), temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    ScopedFD record(fd);
    if (!record) {
        return fail(why, "cannot create " + (folder / temporary).string());
    }
    const auto discard = [&](const std::string& what) {
        const bool result = fail(why, what);
        ::unlinkat(directory.get(), temporary.c_str(), 0);
        return result;
    };
    // The creation mode went through the umask; make it exactly 0600.
    if (::fchmod(record.get(), 0600) != 0 || !writeAll(record.get(), runRecordJson(outcome))) {
        return discard("cannot write " + (folder / temporary).string());
    }
    if (::fsync(record.get()) != 0) {
        return discard("cannot sync " + (folder / temporary).string());
    }
    if (!record.reset()) {
        return discard("cannot close " + (folder / temporary).string());
    }
    if (::renameat(directory.get(), temporary.c_str(), directory.get(), name.c_str()) != 0) {
        return discard("cannot rename " + temporary + " to " + name);
    }
    if (::fsync(directory.get()) != 0) {
        return fail(why, "cannot sync " + folder.string());
    }
    return true;
}

std::optional<RunOutcome> readRunRecord(const std::filesystem::path& file, std::string* why) {
    int fd = -1;
    do {
        fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    const ScopedFD record(fd);
    if (!record) {
        *why = errno == ENOENT ? std::string("no run recorded yet") : std::strerror(errno);
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(record.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *why = "not a regular file";
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(info.st_size) > kRunRecordMaxBytes) {
        *why = "larger than a record";
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = ::read(record.get(), text.data() + done, text.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *why = std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    auto outcome = parseRunRecord(text, why);
    if (!outcome) {
        *why = "not a run record: " + *why;
    }
    return outcome;
}

}  // namespace lockstep
