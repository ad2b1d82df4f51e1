#include "support/directory_fixture.h"

#include <crypt.h>

#include <stdexcept>
#include <utility>

namespace lockstep::testing {

namespace {

std::string joinMembers(const std::vector<std::string>& members) {
    std::string text;
    for (const std::string& member : members) {
        if (!text.empty()) {
            text += ',';
        }
        text += member;
    }
    return text;
}

// The shadow entry's password and aging fields after the name, for a state.
std::string shadowFields(const TestUser& user) {
    const std::string hash = cryptHash(user.password);
    switch (user.state) {
        case AccountState::active:
            return hash + ":19000:0:99999:7:::";
        case AccountState::locked:
            return "!" + hash + ":19000:0:99999:7:::";
        case AccountState::disabled:
            return "*:19000:0:99999:7:::";
        case AccountState::expired:
            // Expired on 1970-01-03.
            return hash + ":19000:0:99999:7::2:";
        case AccountState::inactive:
            // Changed on 1970-01-02, valid for one day, inactive a day later.
            return hash + ":1:0:1:0:1::";
    }
    return hash + ":19000:0:99999:7:::";
}

}  // namespace

std::string cryptHash(std::string_view password, std::string_view prefix) {
    const std::string phrase(password);
    const std::string method(prefix);
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // A count of 0 means the method's default cost; 1 is the cheapest
    // yescrypt accepts, and SHA-512 takes its minimum of 1000 rounds.
    const unsigned long count = method == "$y$"                        ? 1
                                : (method == "$6$" || method == "$5$") ? 1000
                                                                       : 0;
    if (crypt_gensalt_rn(method.c_str(), count, nullptr, 0, setting, sizeof setting) == nullptr) {
        throw std::runtime_error("crypt_gensalt_rn failed for " + method);
    }
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_rn(phrase.c_str(), setting, data.get(), sizeof(crypt_data));
    if (hash == nullptr || hash[0] == '*') {
        throw std::runtime_error("crypt_rn failed for " + method);
    }
    return hash;
}

TestDirectory::TestDirectory() : ownFolder_(std::make_unique<TempDir>()) {
    root_ = ownFolder_->path();
    write();
}

TestDirectory::TestDirectory(std::filesystem::path root) : root_(std::move(root)) {
    write();
}

TestDirectory::~TestDirectory() = default;

std::filesystem::path TestDirectory::etc(std::string_view name) const {
    return root_ / "etc" / name;
}

TestDirectory& TestDirectory::addUser(const TestUser& user) {
    TestUser added = user;
    if (added.home.empty()) {
        added.home = "/Users/" + added.name;
    }
    shadowFields_.push_back(shadowFields(added));
    users_.push_back(std::move(added));
    write();
    return *this;
}

TestDirectory& TestDirectory::addUser(std::string_view name, std::string_view password,
                                      std::uint32_t uid, AccountState state) {
    TestUser user;
    user.name = name;
    user.password = password;
    user.uid = uid;
    user.state = state;
    return addUser(user);
}

TestDirectory& TestDirectory::addGroup(const TestGroup& group) {
    groups_.push_back(group);
    write();
    return *this;
}

TestDirectory& TestDirectory::addGroup(std::string_view name, std::uint32_t gid,
                                       std::vector<std::string> members) {
    return addGroup(TestGroup{std::string(name), gid, std::move(members)});
}

void TestDirectory::write() const {
    std::string passwd;
    std::string shadow;
    for (std::size_t i = 0; i < users_.size(); ++i) {
        const TestUser& user = users_[i];
        passwd += user.name + ":x:" + std::to_string(user.uid) + ":" + std::to_string(user.gid) +
                  ":" + user.realName + ":" + user.home + ":" + user.shell + "\n";
        shadow += user.name + ":" + shadowFields_[i] + "\n";
    }
    std::string group;
    std::string gshadow;
    for (const TestGroup& entry : groups_) {
        const std::string members = joinMembers(entry.members);
        group += entry.name + ":x:" + std::to_string(entry.gid) + ":" + members + "\n";
        gshadow += entry.name + ":!::" + members + "\n";
    }
    writeFile(etc("passwd"), passwd, std::filesystem::perms(0644));
    writeFile(etc("shadow"), shadow, std::filesystem::perms(0640));
    writeFile(etc("group"), group, std::filesystem::perms(0644));
    writeFile(etc("gshadow"), gshadow, std::filesystem::perms(0640));
}

}  // namespace lockstep::testing
