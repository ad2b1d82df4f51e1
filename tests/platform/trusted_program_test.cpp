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
    const TempDir shared;  // under /tmp, which anyone may write
    for (const auto& [path, mode] : {std::pair{dir / "tool", 0755},
                                     {dir / "open", 0775},
                                     {dir / "other/tool", 0755},
                                     {shared / "tool", 0755}}) {
        writeFile(path, "#!/bin/sh\n", fs::perms(mode));
    }
    ASSERT_EQ(::chown((dir / "other").c_str(), 1000, 1000), 0);
    fs::create_symlink(dir / "tool", dir / "link");
    fs::create_directory_symlink(dir.path(), dir / "folder-link");
    const std::pair<fs::path, Verdict> cases[] = {
        {dir / "tool", Verdict::trusted},
        {dir / "folder-link/tool", Verdict::trusted},  // root's own link among the folders
        {dir / "open", Verdict::untrusted},
        {dir / "other/tool", Verdict::untrusted},
        {dir / "link", Verdict::untrusted},
        {shared / "tool", Verdict::untrusted},
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
