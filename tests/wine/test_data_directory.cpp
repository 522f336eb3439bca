#include "broker/win32/data_directory.h"
#include "broker/win32/data_removal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "broker/win32/directory_security.h"

#include "tests/wine/test_data_directory_scratch.h"

namespace vantorel {
namespace {

using testing::AceView;
using testing::Exists;
using testing::ReadBytes;
using testing::ReadSecurity;
using testing::ScratchProgramData;
using testing::SecurityView;
using testing::WriteBytes;

constexpr DWORD kFullAccess = 0x1F01FF;
constexpr BYTE kInheritBoth = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// Restores "ProgramData" after a test that sets it to something odd.
class ProgramDataVariable {
public:
    ProgramDataVariable() {
        wchar_t old[1024];
        DWORD n = GetEnvironmentVariableW(L"ProgramData", old, 1024);
        had_ = n > 0 && n < 1024;
        if (had_) old_.assign(old, n);
    }
    ~ProgramDataVariable() { SetEnvironmentVariableW(L"ProgramData", had_ ? old_.c_str() : nullptr); }

private:
    std::wstring old_;
    bool had_ = false;
};

TEST(DataBaseDirectory, ReadsTheVariableOrFallsBack) {
    ProgramDataVariable keep;
    struct Case {
        const char* name;
        bool set;
        std::wstring value;
        std::wstring expected;
    };
    const std::wstring fits(259, L'd');
    const std::wstring too_long(260, L'd');
    const Case cases[] = {
        {"unset", false, L"", L"C:\\ProgramData"},
        {"empty", true, L"", L"C:\\ProgramData"},
        {"plain", true, L"D:\\Shared Data", L"D:\\Shared Data"},
        {"259 characters", true, fits, fits},
        {"260 characters", true, too_long, L"C:\\ProgramData"},
    };
    for (const Case& c : cases) {
        SetEnvironmentVariableW(L"ProgramData", c.set ? c.value.c_str() : nullptr);
        EXPECT_EQ(DataBaseDirectory(), c.expected) << c.name;
    }
}

TEST(DataBaseDirectory, UnsetVariableGivesPathsUnderCProgramData) {
    ProgramDataVariable keep;
    SetEnvironmentVariableW(L"ProgramData", nullptr);
    DataPaths p = CurrentDataPaths();
    const std::wstring root = L"C:\\ProgramData\\Vantorel";
    EXPECT_EQ(p.product, root);
    EXPECT_EQ(p.run, root + L"\\run");
    EXPECT_EQ(p.logs, root + L"\\logs");
    EXPECT_EQ(p.engine_config, root + L"\\run\\current_session.json");
    EXPECT_EQ(p.ledger, root + L"\\run\\ledger.txt");
    EXPECT_EQ(p.ledger_tmp, root + L"\\run\\ledger.txt.tmp");
    EXPECT_EQ(p.ledger_bad, root + L"\\run\\ledger.bad");
    EXPECT_EQ(p.pin, root + L"\\run\\pin.txt");
    EXPECT_EQ(p.service_log, root + L"\\logs\\service.log");
    EXPECT_EQ(p.service_log_previous, root + L"\\logs\\service.log.1");
}

TEST(ProductDirectoryDescriptor, IsProtectedAndGrantsOnlyWhatItShould) {
    SddlDescriptor descriptor(kProductDirectorySddl);
    ASSERT_TRUE(descriptor.valid());
    const testing::SecurityView view = testing::DescribeDescriptor(descriptor.get());
    ASSERT_TRUE(view.read && view.dacl_present);
    EXPECT_TRUE(view.dacl_protected);
    // No entry for users: nothing below it (ledger, log) is theirs to read or to hold open.
    ASSERT_EQ(view.aces.size(), 2u);
    const struct {
        const char* sid;
        DWORD mask;
    } expected[] = {{testing::kSystemSid, kFullAccess}, {testing::kAdministratorsSid, kFullAccess}};
    for (size_t i = 0; i < 2; ++i) {
        const testing::AceView& ace = view.aces[i];
        EXPECT_EQ(ace.type, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(ace.flags & kInheritBoth, kInheritBoth) << i;
        EXPECT_EQ(ace.flags & INHERITED_ACE, 0) << i;
        EXPECT_EQ(ace.sid, expected[i].sid) << i;
        EXPECT_EQ(ace.mask, expected[i].mask) << i;
    }
}

TEST(IsTrustedOwner, AcceptsSystemAdministratorsAndOurOwnAccountOnly) {
    struct Case {
        std::wstring sid;
        bool trusted;
    };
    const std::string self = testing::ProcessUserSidText();
    ASSERT_FALSE(self.empty());
    const Case cases[] = {
        {L"S-1-5-18", true},
        {L"S-1-5-32-544", true},
        {std::wstring(self.begin(), self.end()), true},
        {L"S-1-5-32-545", false},
        {L"S-1-1-0", false},
        {L"S-1-5-11", false},
        {L"S-1-5-7", false},
        {L"S-1-5-21-1-2-3-1001", false},
    };
    for (const Case& c : cases) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(c.sid.c_str(), &sid));
        EXPECT_EQ(IsTrustedOwner(sid), c.trusted) << testing::SidText(sid);
        LocalFree(sid);
    }
    EXPECT_FALSE(IsTrustedOwner(nullptr));
}

// What can be read back everywhere (Wine keeps only what Unix modes express): SYSTEM has full
// control, inherited below, and nobody but SYSTEM, Administrators or the owner may write.
void ExpectOnlyTrustedWriters(const std::wstring& path) {
    SecurityView view = ReadSecurity(path);
    ASSERT_TRUE(view.read);
    ASSERT_TRUE(view.dacl_present);
    bool system_full = false;
    for (const AceView& ace : view.aces) {
        if (ace.type != ACCESS_ALLOWED_ACE_TYPE) continue;
        if (ace.sid == testing::kSystemSid && (ace.mask & kFullAccess) == kFullAccess) {
            system_full = true;
        }
        bool trusted =
            ace.sid == testing::kSystemSid || ace.sid == testing::kAdministratorsSid || ace.sid == view.owner;
        if (!trusted) {
            EXPECT_FALSE(testing::GrantsWrite(ace.mask)) << ace.sid << " " << ace.mask;
        }
    }
    EXPECT_TRUE(system_full);
}

bool AnyoneMayWrite(const std::wstring& path) {
    for (const AceView& ace : ReadSecurity(path).aces) {
        if (ace.sid == "S-1-1-0" && testing::GrantsWrite(ace.mask)) return true;
    }
    return false;
}

TEST(PrepareDataDirectory, CreatesAProtectedProductDirectory) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    DataDirectoryOutcome outcome = PrepareDataDirectory();
    EXPECT_TRUE(outcome.secured);
    EXPECT_FALSE(outcome.moved_aside);
    EXPECT_EQ(outcome.error, 0u);
    EXPECT_EQ(outcome.failed_step, "");
    ExpectOnlyTrustedWriters(paths.product);
    SecurityView view = ReadSecurity(paths.product);
    EXPECT_TRUE(view.owner == testing::ProcessUserSidText() || view.owner == testing::kSystemSid ||
                view.owner == testing::kAdministratorsSid)
        << view.owner;
}

TEST(PrepareDataDirectory, KeepsItsOwnDirectoryOnTheNextStart) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    ASSERT_TRUE(PrepareDataDirectory().secured);
    CreateDirectoryW(paths.run.c_str(), nullptr);
    ASSERT_TRUE(WriteBytes(paths.ledger, "v1\n"));

    DataDirectoryOutcome second = PrepareDataDirectory();
    EXPECT_TRUE(second.secured);
    EXPECT_FALSE(second.moved_aside);
    std::string text;
    EXPECT_TRUE(ReadBytes(paths.ledger, text));
    EXPECT_EQ(text, "v1\n");
}

TEST(PrepareDataDirectory, ReplacesTheDaclOfAnExistingDirectory) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    ASSERT_TRUE(CreateDirectoryW(paths.product.c_str(), nullptr));
    ASSERT_EQ(testing::SetDaclFromSddl(paths.product, L"D:(A;OICI;FA;;;WD)"), 0u);
    ASSERT_TRUE(AnyoneMayWrite(paths.product));

    DataDirectoryOutcome outcome = PrepareDataDirectory();
    EXPECT_TRUE(outcome.secured);
    EXPECT_FALSE(outcome.moved_aside);
    EXPECT_FALSE(AnyoneMayWrite(paths.product));
    ExpectOnlyTrustedWriters(paths.product);
}

TEST(PrepareDataDirectory, SetsAsideADirectoryOwnedBySomeoneElse) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    ASSERT_TRUE(CreateDirectoryW(paths.product.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(paths.run.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(paths.engine_config, "{\"planted\":true}"));
    if (!testing::MakeForeignOwned(paths.product)) GTEST_SKIP() << "cannot give away ownership here";

    DataDirectoryOutcome outcome = PrepareDataDirectory();
    EXPECT_TRUE(outcome.moved_aside);
    EXPECT_TRUE(outcome.secured);
    EXPECT_EQ(outcome.moved_from, paths.product);
    EXPECT_EQ(outcome.moved_to.rfind(paths.product + L".untrusted-", 0), 0u);
    // The planted file went with the foreign directory; ours starts empty and protected.
    std::string planted;
    EXPECT_TRUE(ReadBytes(outcome.moved_to + L"\\run\\current_session.json", planted));
    EXPECT_EQ(planted, "{\"planted\":true}");
    EXPECT_FALSE(Exists(paths.engine_config));
    EXPECT_FALSE(Exists(paths.run));
    EXPECT_EQ(ReadSecurity(outcome.moved_to).owner, "S-1-5-7");
    EXPECT_EQ(ReadSecurity(paths.product).owner, testing::ProcessUserSidText());
    ExpectOnlyTrustedWriters(paths.product);
}

TEST(PrepareDataDirectory, SetsAsideAFileInThePlaceOfTheDirectory) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    ASSERT_TRUE(WriteBytes(paths.product, "not a directory"));

    DataDirectoryOutcome outcome = PrepareDataDirectory();
    EXPECT_TRUE(outcome.moved_aside);
    EXPECT_TRUE(outcome.secured);
    DWORD attributes = GetFileAttributesW(paths.product.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    std::string moved;
    EXPECT_TRUE(ReadBytes(outcome.moved_to, moved));
    EXPECT_EQ(moved, "not a directory");
}

TEST(PrepareDataDirectory, DoesNotFailWhenTheAsideNameIsTaken) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    std::wstring last_name;
    // Within one second the name would repeat; the earlier one still holds it.
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(RemoveDirectoryW(paths.product.c_str()) || round == 0);
        ASSERT_TRUE(WriteBytes(paths.product, "round " + std::to_string(round)));
        DataDirectoryOutcome outcome = PrepareDataDirectory();
        EXPECT_TRUE(outcome.moved_aside) << round;
        EXPECT_TRUE(outcome.secured) << round;
        EXPECT_NE(outcome.moved_to, last_name) << round;
        std::string moved;
        EXPECT_TRUE(ReadBytes(outcome.moved_to, moved));
        EXPECT_EQ(moved, "round " + std::to_string(round));
        last_name = outcome.moved_to;
    }
}

TEST(PrepareDataDirectory, SetsAsideAForeignRunDirectoryInsideOurs) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    ASSERT_TRUE(PrepareDataDirectory().secured);
    ASSERT_TRUE(CreateDirectoryW(paths.run.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(paths.logs.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(paths.pin, "192.0.2.1\n"));
    if (!testing::MakeForeignOwned(paths.run)) GTEST_SKIP() << "cannot give away ownership here";

    DataDirectoryOutcome outcome = PrepareDataDirectory();
    EXPECT_TRUE(outcome.secured);
    EXPECT_TRUE(outcome.moved_aside);
    EXPECT_EQ(outcome.moved_from, paths.run);
    EXPECT_EQ(outcome.moved_to.rfind(paths.run + L".untrusted-", 0), 0u);
    EXPECT_FALSE(Exists(paths.pin));
    EXPECT_TRUE(Exists(paths.logs));
}

// Opened the way a user would to keep the name from moving: every sharing but delete.
HANDLE HoldOpen(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

TEST(PrepareDataDirectory, FailsClosedWhileAForeignNameIsHeldOpen) {
    struct Case {
        const char* name;
        bool run_instead_of_product;
        bool directory;  // a foreign-owned directory (needs chown) rather than a file
    };
    const Case cases[] = {
        {"file as product", false, false},
        {"foreign directory as product", false, true},
        {"file as run", true, false},
        {"foreign directory as run", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchProgramData scratch;
        DataPaths paths = CurrentDataPaths();
        if (c.run_instead_of_product) {
            ASSERT_TRUE(PrepareDataDirectory().secured);
        }
        const std::wstring target = c.run_instead_of_product ? paths.run : paths.product;
        if (c.directory) {
            ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
            if (!testing::MakeForeignOwned(target)) {
                std::printf("skipped %s: cannot give away ownership here\n", c.name);
                continue;
            }
        } else {
            ASSERT_TRUE(WriteBytes(target, "held"));
        }
        HANDLE held = HoldOpen(target);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);

        DataDirectoryOutcome outcome = PrepareDataDirectory();
        EXPECT_FALSE(outcome.secured);
        EXPECT_EQ(outcome.failed_step, "move_aside");
        EXPECT_EQ(outcome.error, static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(outcome.failed_path, target);
        EXPECT_FALSE(outcome.moved_aside);
        // A held run leaves the log usable to explain why nothing is served; a held product does not.
        EXPECT_EQ(outcome.logs_usable, c.run_instead_of_product);
        EXPECT_FALSE(Exists(paths.ledger));

        // Once the handle is gone the next start sets the name aside and goes on.
        CloseHandle(held);
        DataDirectoryOutcome later = PrepareDataDirectory();
        EXPECT_TRUE(later.secured);
        EXPECT_TRUE(later.moved_aside);
        EXPECT_EQ(later.moved_from, target);
    }
}

TEST(PrepareDataDirectory, ANameRecreatedAfterTheMoveAsideIsExaminedAgain) {
    struct Case {
        const char* name;
        std::function<bool(const std::wstring&)> recreate;  // false: not possible here
        bool secured;
    };
    const Case cases[] = {
        {"a file", [](const std::wstring& p) { return WriteBytes(p, "raced"); }, false},
        {"a directory owned by someone else",
         [](const std::wstring& p) { return CreateDirectoryW(p.c_str(), nullptr) && testing::MakeForeignOwned(p); },
         false},
        // Another broker run (a concurrent --reconcile) made it: that one is ours.
        {"a directory of our own", [](const std::wstring& p) { return CreateDirectoryW(p.c_str(), nullptr) != 0; },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchProgramData scratch;
        DataPaths paths = CurrentDataPaths();
        ASSERT_TRUE(WriteBytes(paths.product, "planted"));
        bool raced = false;
        DataDirectoryHooks hooks;
        hooks.after_move_aside = [&](const std::wstring& moved) {
            if (moved == paths.product) raced = c.recreate(moved);
        };
        DataDirectoryOutcome outcome = PrepareDataDirectory(paths, hooks);
        if (!raced) {
            std::printf("skipped %s: cannot give away ownership here\n", c.name);
            continue;
        }
        EXPECT_TRUE(outcome.moved_aside);
        EXPECT_EQ(outcome.secured, c.secured);
        if (!c.secured) {
            EXPECT_EQ(outcome.failed_step, "foreign");
            EXPECT_EQ(outcome.error, static_cast<std::uint32_t>(ERROR_ALREADY_EXISTS));
            EXPECT_FALSE(outcome.logs_usable);
            // Fail closed: nothing was created or re-secured inside what the user made.
            EXPECT_FALSE(Exists(paths.run));
            EXPECT_FALSE(Exists(paths.logs));
        } else {
            ExpectOnlyTrustedWriters(paths.product);
        }
    }
}

TEST(PrepareDataDirectory, SetsAsideARunDirectoryHoldingSomeoneElsesFile) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    ASSERT_TRUE(PrepareDataDirectory().secured);
    ASSERT_TRUE(CreateDirectoryW(paths.run.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(paths.ledger, "v1\ngeneration=9\n"));
    if (!testing::MakeForeignOwned(paths.ledger)) GTEST_SKIP() << "cannot give away ownership here";
    EXPECT_EQ(ExamineDirectory(paths.run, false), DirectoryTrust::ours);
    EXPECT_EQ(ExamineDirectory(paths.run, true), DirectoryTrust::foreign);

    DataDirectoryOutcome outcome = PrepareDataDirectory();
    EXPECT_TRUE(outcome.secured);
    EXPECT_EQ(outcome.moved_from, paths.run);
    EXPECT_FALSE(Exists(paths.ledger));
}

TEST(PrepareDataDirectory, ResetsARunDirectoryThatLetsOthersWrite) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    ASSERT_TRUE(PrepareDataDirectory().secured);
    ASSERT_TRUE(CreateDirectoryW(paths.run.c_str(), nullptr));
    ASSERT_EQ(testing::SetDaclFromSddl(paths.run, L"D:(A;OICI;FA;;;WD)"), 0u);
    ASSERT_TRUE(AnyoneMayWrite(paths.run));
    ASSERT_TRUE(HasUntrustedWriter(paths.run));

    DataDirectoryOutcome outcome = PrepareDataDirectory();
    EXPECT_TRUE(outcome.secured) << outcome.failed_step;
    EXPECT_FALSE(outcome.moved_aside);
    EXPECT_FALSE(AnyoneMayWrite(paths.run));
    EXPECT_FALSE(HasUntrustedWriter(paths.run));
}

TEST(EnsureDirectory, CreatesNothingInsideAProductDirectoryThatIsNotOurs) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    ASSERT_TRUE(CreateDirectoryW(paths.product.c_str(), nullptr));
    if (!testing::MakeForeignOwned(paths.product)) GTEST_SKIP() << "cannot give away ownership here";
    EnsureRunDirectory(paths);
    EnsureLogDirectory(paths);
    EXPECT_FALSE(Exists(paths.run));
    EXPECT_FALSE(Exists(paths.logs));
}

TEST(EnsureDirectory, CreatesProductThenWantedDirectory) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    EnsureRunDirectory(paths);
    EXPECT_TRUE(Exists(paths.run));
    EXPECT_FALSE(Exists(paths.logs));
    // A product directory made here (not by PrepareDataDirectory) is protected as well.
    ExpectOnlyTrustedWriters(paths.product);
    EnsureLogDirectory(paths);
    EXPECT_TRUE(Exists(paths.logs));
}

TEST(RemoveOwnData, DeletesTheBrokersFilesByNameAndFoldersOnlyWhenEmpty) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    ASSERT_TRUE(PrepareDataDirectory(paths).secured);
    EnsureRunDirectory(paths);
    EnsureLogDirectory(paths);
    for (const std::wstring* file : {&paths.ledger, &paths.ledger_bad, &paths.pin, &paths.engine_config,
                                     &paths.service_log, &paths.service_log_previous}) {
        ASSERT_TRUE(WriteBytes(*file, "x"));
    }
    const std::wstring stranger = paths.run + L"\\notes.txt";
    ASSERT_TRUE(WriteBytes(stranger, "not the broker's"));

    EXPECT_EQ(RemoveOwnData(paths, false), static_cast<std::uint32_t>(ERROR_DIR_NOT_EMPTY));
    for (const std::wstring* file : {&paths.ledger, &paths.ledger_bad, &paths.pin, &paths.engine_config}) {
        EXPECT_FALSE(Exists(*file));
    }
    EXPECT_TRUE(Exists(stranger));
    EXPECT_TRUE(Exists(paths.service_log));  // the logs only when asked

    ASSERT_TRUE(DeleteFileW(stranger.c_str()));
    EXPECT_EQ(RemoveOwnData(paths, true), 0u);
    EXPECT_FALSE(Exists(paths.run));
    EXPECT_FALSE(Exists(paths.logs));
    EXPECT_FALSE(Exists(paths.product));
    EXPECT_EQ(RemoveOwnData(paths, true), 0u);  // nothing there is nothing to fail
}

TEST(SddlDescriptor, ReportsBadText) {
    SddlDescriptor good(kProductDirectorySddl);
    EXPECT_TRUE(good.valid());
    EXPECT_EQ(good.error(), 0u);
    SddlDescriptor bad(L"D:(nonsense");
    EXPECT_FALSE(bad.valid());
    EXPECT_NE(bad.error(), 0u);
}

}  // namespace
}  // namespace vantorel
