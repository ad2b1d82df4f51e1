#include "platform/trusted_program.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using Verdict = ProgramTrust::Verdict;

// Only a program that nobody but root could have placed or changed passes,
// judged by every folder on its way from "/".
TEST(TrustedProgramTest, OnlyRootCanHaveMadeOrChangedIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to own the programs checked";
    }
    const TrustedTempDir dir;
    writeFile(dir / "tool", "#!/bin/sh\n", fs::perms(0755));
    writeFile(dir / "open", "#!/bin/sh\n", fs::perms(0775));
    writeFile(dir / "other/tool", "#!/bin/sh\n", fs::perms(0755));
    ASSERT_EQ(::chown((dir / "other").c_str(), 1000, 1000), 0);
    writeFile(dir / "theirs", "#!/bin/sh\n", fs::perms(0755));
    ASSERT_EQ(::chown((dir / "theirs").c_str(), 1000, 0), 0);
    fs::create_symlink(dir / "tool", dir / "link");
    fs::create_directory_symlink(dir.path(), dir / "folder-link");
    const TempDir shared;  // under /tmp, which anyone may write
    writeFile(shared / "tool", "#!/bin/sh\n", fs::perms(0755));
    const std::vector<std::pair<fs::path, Verdict>> cases{
        {dir / "tool", Verdict::trusted},
        {dir / "folder-link/tool", Verdict::trusted},  // root's own link among the folders
        {dir / "open", Verdict::untrusted},
        {dir / "other/tool", Verdict::untrusted},
        {dir / "theirs", Verdict::untrusted},
        {dir / "link", Verdict::untrusted},
        {shared / "tool", Verdict::untrusted},
        {dir.path(), Verdict::untrusted},
        {dir / "missing", Verdict::missing},
        {dir / "tool/below", Verdict::missing},
    };
    for (const auto& [path, verdict] : cases) {
        const ProgramTrust trust = checkRootOwnedProgram(path);
        EXPECT_EQ(trust.verdict, verdict) << path << ": " << trust.reason;
        EXPECT_EQ(trust.reason.empty(), verdict != Verdict::untrusted) << path;
    }
    EXPECT_EQ(checkRootOwnedProgram(dir / "missing").error, ENOENT);
}

}  // namespace
}  // namespace lockstep::testing
