#include "support/directory_fixture.h"

#include <crypt.h>

#include <memory>
#include <stdexcept>

namespace lockstep::testing {

std::string cryptHash(std::string_view password, std::string_view prefix) {
    const std::string phrase(password), method(prefix);
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // The cheapest cost: 1 for yescrypt, the minimum of 1000 rounds for SHA-512.
    auto data = std::make_unique<crypt_data>();
    const bool salted = crypt_gensalt_rn(method.c_str(), method == "$y$" ? 1 : 1000, nullptr, 0,
                                         setting, sizeof setting) != nullptr;
    const char* hash =
        salted ? crypt_rn(phrase.c_str(), setting, data.get(), sizeof *data) : nullptr;
    if (hash == nullptr || hash[0] == '*') throw std::runtime_error("crypt failed for " + method);
    return hash;
}

TestDirectory& TestDirectory::addUser(const TestUser& user) {
    const std::string home = user.home.empty() ? "/Users/" + user.name : user.home;
    passwd_ += user.name + ":x:" + std::to_string(user.uid) + ":" + std::to_string(user.gid) + ":" +
               user.realName + ":" + home + ":" + user.shell + "\n";
    // The password and aging fields for each AccountState, in its order:
    // changed in 2022 and never expiring, unless the state says otherwise;
    // expired on 1970-01-03; changed 1970-01-02, valid a day, inactive a day later.
    const std::string hash = cryptHash(user.password), aging = ":19000:0:99999:7:::";
    const std::string fields[] = {hash + aging, "!" + hash + aging, "*" + aging,
                                  hash + ":19000:0:99999:7::2:", hash + ":1:0:1:0:1::"};
    shadow_ += user.name + ":" + fields[static_cast<std::size_t>(user.state)] + "\n";
    write();
    return *this;
}

TestDirectory& TestDirectory::addUser(std::string_view name, std::string_view password,
                                      std::uint32_t uid, AccountState state) {
    return addUser(TestUser{
        .name = std::string(name), .uid = uid, .password = std::string(password), .state = state});
}

TestDirectory& TestDirectory::addGroup(std::string_view name, std::uint32_t gid,
                                       const std::vector<std::string>& members) {
    std::string list;
    for (const std::string& member : members) list += (list.empty() ? "" : ",") + member;
    group_ += std::string(name) + ":x:" + std::to_string(gid) + ":" + list + "\n";
    gshadow_ += std::string(name) + ":!::" + list + "\n";
    write();
    return *this;
}

void TestDirectory::write() const {
    const auto etc = root_ / "etc";
    writeFile(etc / "passwd", passwd_, std::filesystem::perms(0644));
    writeFile(etc / "shadow", shadow_, std::filesystem::perms(0640));
    writeFile(etc / "group", group_, std::filesystem::perms(0644));
    writeFile(etc / "gshadow", gshadow_, std::filesystem::perms(0640));
}

}  // namespace lockstep::testing
