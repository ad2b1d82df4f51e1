#include "local_directory_fixture.h"

namespace lockstep::testing::local_directory {
namespace {

class VerifyTest : public DirectoryTest {
  protected:
    // Verifies `password` for alice; 0 for success, else the error code.
    std::int64_t verify(std::string_view password) {
        const auto alice = user("alice");
        std::optional<ODError> error;
        if (service.verifyPassword(alice, password, &error)) {
            return 0;
        }
        EXPECT_TRUE(error.has_value());
        if (error) {
            // Descriptions never carry the hash or the password.
            EXPECT_EQ(error->localizedDescription().find('$'), std::string::npos);
            EXPECT_TRUE(password.empty() ||
                        error->localizedDescription().find(password) == std::string::npos);
        }
        return error ? error->code() : -1;
    }
};

TEST_F(VerifyTest, ShadowFieldsGiveTheirVerdicts) {
    const std::string yescrypt = hashOf("correct horse", "$y$");
    const std::string sha512 = hashOf("s3cret", "$6$");
    const std::string empty = hashOf("", "$6$");
    struct Case {
        std::string field;
        std::string aging;  // fields 3 to 9
        std::string password;
        std::int64_t code;
    };
    const std::string normal = "19000:0:99999:7:::";
    const Case cases[] = {
        {yescrypt, normal, "correct horse", 0},
        {yescrypt, normal, "correct horsE", kODErrorCredentialsInvalid},
        {yescrypt, normal, "", kODErrorCredentialsInvalid},
        {sha512, normal, "s3cret", 0},
        {sha512, normal, "s3cret ", kODErrorCredentialsInvalid},
        {sha512, normal, std::string("s3cret\0tail", 11), kODErrorCredentialsInvalid},
        {sha512, normal, std::string(600, 'a'), kODErrorCredentialsInvalid},
        {empty, normal, "", 0},
        {empty, normal, "x", kODErrorCredentialsInvalid},
        {"$unsupported$c2FsdA$aGFzaA", normal, "s3cret", kODErrorCredentialsMethodNotSupported},
        {"", normal, "", kODErrorCredentialsAccountDisabled},
        {"*", normal, "s3cret", kODErrorCredentialsAccountDisabled},
        {"!", normal, "s3cret", kODErrorCredentialsAccountDisabled},
        {"!!", normal, "s3cret", kODErrorCredentialsAccountDisabled},
        {"!*", normal, "s3cret", kODErrorCredentialsAccountDisabled},
        {"*LK*" + sha512, normal, "s3cret", kODErrorCredentialsAccountDisabled},
        {"!" + sha512, normal, "s3cret", kODErrorCredentialsAccountLocked},
        {"!!" + yescrypt, normal, "correct horse", kODErrorCredentialsAccountLocked},
        {sha512, "19000:0:99999:7::1:", "s3cret", kODErrorCredentialsAccountExpired},
        {sha512, "19000:0:99999:7::99999:", "s3cret", 0},
        {sha512, "1:0:1:7:1::", "s3cret", kODErrorCredentialsAccountInactive},
        {sha512, "1:0:1:7:::", "s3cret", 0},   // expired password, no inactivity limit
        {sha512, "0:0:1:7:1::", "s3cret", 0},  // must change at next login
    };
    for (const auto& c : cases) {
        writeEtc("shadow", "root:*:19000:0:99999:7:::\nalice:" + c.field + ":" + c.aging + "\n",
                 0600);
        EXPECT_EQ(verify(c.password), c.code) << "field " << c.field << " aging " << c.aging;
    }
}

TEST_F(VerifyTest, PasswdFieldServesWhenThereIsNoShadowEntry) {
    const std::string hash = hashOf("pw", "$6$");
    writeEtc("passwd", "alice:" + hash + ":1001:1001::/home/alice:/bin/sh\n");
    EXPECT_EQ(verify("pw"), 0);
    EXPECT_EQ(verify("wrong"), kODErrorCredentialsInvalid);
    writeEtc("shadow", "bob:*:1:0:99999:7:::\n", 0600);
    EXPECT_EQ(verify("pw"), 0);

    // "x" points at a shadow entry that is not there: no usable hash.
    writeEtc("passwd", kPasswd);
    EXPECT_EQ(verify("pw"), kODErrorCredentialsAccountDisabled);
    // A malformed shadow line is no entry either.
    writeEtc("shadow", "alice:" + hash + ":abc:0:99999:7:::\n", 0600);
    EXPECT_EQ(verify("pw"), kODErrorCredentialsAccountDisabled);
}

TEST_F(VerifyTest, AccountGoneFromTheFilesIsNotFound) {
    writeEtc("shadow", "alice:" + hashOf("pw", "$6$") + ":19000:0:99999:7:::\n", 0600);
    const auto alice = user("alice");
    writeEtc("passwd", "root:x:0:0:root:/root:/bin/bash\n");
    std::optional<ODError> error;
    EXPECT_FALSE(service.verifyPassword(alice, "pw", &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kODErrorCredentialsAccountNotFound);
}

TEST_F(VerifyTest, GroupRecordsHaveNoPassword) {
    std::optional<ODError> error;
    EXPECT_FALSE(service.verifyPassword(group("admin"), "", &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kODErrorRecordInvalidType);
}

}  // namespace
}  // namespace lockstep::testing::local_directory
