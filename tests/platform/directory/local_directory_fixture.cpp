#include "local_directory_fixture.h"

#include <crypt.h>

#include <stdexcept>

namespace lockstep::testing::local_directory {

std::string hashOf(const std::string& password, const char* prefix) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting) == nullptr) {
        throw std::runtime_error("crypt_gensalt_rn failed");
    }
    auto data = std::make_unique<crypt_data>();
    const char* hash =
        crypt_rn(password.c_str(), setting, data.get(), static_cast<int>(sizeof(crypt_data)));
    if (hash == nullptr || hash[0] == '*') {
        throw std::runtime_error("crypt_rn failed");
    }
    return hash;
}

DirectoryTest::DirectoryTest() {
    writeEtc("passwd", kPasswd);
    writeEtc("group", kGroup);
    writeEtc("gshadow", kGShadow, 0640);
}

std::filesystem::path DirectoryTest::etc(const std::string& name) const {
    return root.path() / "etc" / name;
}

void DirectoryTest::writeEtc(const std::string& name, std::string_view contents, unsigned mode) {
    writeFile(etc(name), contents, std::filesystem::perms(mode));
}

std::string DirectoryTest::readEtc(const std::string& name) const {
    return readFile(etc(name));
}

ODNodeRef DirectoryTest::localNode() {
    std::optional<ODError> error;
    auto node = service.ODNodeInitWithSession(service.ODSessionDefaultSession(),
                                              kODNodeTypeLocalNodes, &error);
    EXPECT_TRUE(node != nullptr);
    return node;
}

std::vector<ODRecordRef> DirectoryTest::query(std::string_view recordType,
                                              std::vector<std::string> values, ODMatchType match,
                                              std::string_view returnAttributes,
                                              std::int64_t maximum) {
    std::optional<ODError> error;
    const auto built =
        service.ODQueryInitWithNode(localNode(), recordType, kODAttributeTypeRecordName, match,
                                    values, returnAttributes, maximum, &error);
    EXPECT_TRUE(built != nullptr) << (error ? error->localizedDescription() : "");
    auto results = service.resultsAllowingPartial(built, false, &error);
    EXPECT_TRUE(results.has_value()) << (error ? error->localizedDescription() : "");
    return results.value_or(std::vector<ODRecordRef>{});
}

ODRecordRef DirectoryTest::user(const std::string& name) {
    auto records = query(kODRecordTypeUsers, {name});
    EXPECT_EQ(records.size(), 1U) << name;
    return records.empty() ? nullptr : records.front();
}

ODRecordRef DirectoryTest::group(const std::string& name) {
    auto records = query(kODRecordTypeGroups, {name});
    EXPECT_EQ(records.size(), 1U) << name;
    return records.empty() ? nullptr : records.front();
}

std::vector<std::string> DirectoryTest::names(const std::vector<ODRecordRef>& records) {
    std::vector<std::string> result;
    for (const auto& record : records) {
        result.push_back(record->recordName());
    }
    return result;
}

std::vector<std::string> DirectoryTest::texts(const std::vector<ODValue>& values) {
    std::vector<std::string> result;
    for (const auto& value : values) {
        result.push_back(std::holds_alternative<std::string>(value) ? std::get<std::string>(value)
                                                                    : "<bytes>");
    }
    return result;
}

}  // namespace lockstep::testing::local_directory
