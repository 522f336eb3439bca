#include "broker/win32/win32_session_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "broker/portable/ledger_text.h"
#include "tests/wine/test_data_directory_scratch.h"

namespace vantorel {
namespace {

using testing::Exists;
using testing::ReadBytes;
using testing::ReadSecurity;
using testing::ScratchProgramData;
using testing::SecurityView;
using testing::WriteBytes;

SessionLedger ConnectedLedger() {
    SessionLedger l;
    l.generation = 41;
    l.phase = SessionState::connected;
    l.pid = 4242;
    l.cleanup_verified = false;
    l.pin_intended = true;
    l.pin = PinRoute{"198.51.100.20", 7, 12, 12, "192.168.1.1", 25};
    l.adapter_known = true;
    l.adapter = AdapterInfo{"VantorelTun", "{0F1E2D3C-0000-1111-2222-333344445555}", 99, 31, true};
    l.routes = {CaptureRoute{"0.0.0.0", 1, 99, 31}, CaptureRoute{"128.0.0.0", 1, 99, 31}, CaptureRoute{"::", 1, 99, 31},
                CaptureRoute{"8000::", 1, 99, 31}};
    l.config_written = true;
    return l;
}

class SessionFilesTest : public ::testing::Test {
protected:
    ScratchProgramData scratch_;
    Win32SessionFiles files_;  // built after the scratch directory is in place
    const DataPaths& paths() const { return files_.paths(); }
    void put(const std::wstring& path, const std::string& bytes) {
        EnsureRunDirectory(paths());
        ASSERT_TRUE(WriteBytes(path, bytes));
    }
};

TEST_F(SessionFilesTest, UsesTheProgramDataVariable) { EXPECT_EQ(paths().product, scratch_.base() + L"\\Vantorel"); }

TEST_F(SessionFilesTest, SaveWritesTheLedgerTextAndLeavesNoTemporaryFile) {
    SessionLedger ledger = ConnectedLedger();
    ASSERT_TRUE(files_.save_ledger(ledger));
    std::string text;
    ASSERT_TRUE(ReadBytes(paths().ledger, text));
    EXPECT_EQ(text, WriteLedgerText(ledger));
    EXPECT_FALSE(Exists(paths().ledger_tmp));

    SessionLedger loaded;
    ASSERT_EQ(files_.load_ledger(loaded), 1);
    EXPECT_EQ(loaded.generation, 41);
    EXPECT_EQ(loaded.phase, SessionState::connected);
    EXPECT_EQ(loaded.pin.destination, "198.51.100.20");
    ASSERT_EQ(loaded.routes.size(), 4u);
    EXPECT_EQ(loaded.routes[2].destination, "::");
}

TEST_F(SessionFilesTest, SaveReplacesAnOlderLedgerAndALeftoverTemporaryFile) {
    put(paths().ledger, "v1\ngeneration=1\n");
    put(paths().ledger_tmp, std::string(5000, 'z'));
    SessionLedger ledger = ConnectedLedger();
    ASSERT_TRUE(files_.save_ledger(ledger));
    std::string text;
    ASSERT_TRUE(ReadBytes(paths().ledger, text));
    EXPECT_EQ(text, WriteLedgerText(ledger));
    EXPECT_FALSE(Exists(paths().ledger_tmp));
}

TEST_F(SessionFilesTest, SaveKeepsTheOldLedgerWhenTheRenameFails) {
    put(paths().ledger, "v1\ngeneration=5\n");
    HANDLE reader = CreateFileW(paths().ledger.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(files_.save_ledger(ConnectedLedger()));
    // The caller logs this number.
    EXPECT_TRUE(files_.last_error() == ERROR_SHARING_VIOLATION || files_.last_error() == ERROR_ACCESS_DENIED)
        << files_.last_error();
    CloseHandle(reader);
    std::string text;
    ASSERT_TRUE(ReadBytes(paths().ledger, text));
    EXPECT_EQ(text, "v1\ngeneration=5\n");
    EXPECT_FALSE(Exists(paths().ledger_tmp));
}

TEST_F(SessionFilesTest, SaveOutlastsAReaderThatLetsGoWithinAMoment) {
    put(paths().ledger, "v1\ngeneration=5\n");
    HANDLE reader = CreateFileW(paths().ledger.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::thread release([reader] {
        Sleep(20);
        CloseHandle(reader);
    });
    const SessionLedger ledger = ConnectedLedger();
    const bool saved = files_.save_ledger(ledger);
    release.join();
    EXPECT_TRUE(saved);
    std::string text;
    ASSERT_TRUE(ReadBytes(paths().ledger, text));
    EXPECT_EQ(text, WriteLedgerText(ledger));
}

TEST_F(SessionFilesTest, LoadWithoutAFileGivesZero) {
    SessionLedger out;
    out.generation = 77;
    EXPECT_EQ(files_.load_ledger(out), 0);
    EXPECT_EQ(out.generation, 77);
}

// 100,000 bytes: the read stops after the block that passes 65,536 bytes, at 66,560.
TEST_F(SessionFilesTest, LoadReadsNoMoreThanTheBlockThatPassesTheLimit) {
    std::string text = "v1\ngeneration=42\n";
    // Filler lines of unknown keys until the text is `size` bytes long.
    auto fill_to = [&text](size_t size) {
        while (text.size() < size) {
            size_t k = std::min<size_t>(size - text.size(), 100);
            text += std::string(k - 1, '#') + "\n";
        }
    };
    fill_to(60000);
    text += "phase=connected\n";  // before the cut: read
    fill_to(66560 - 6);
    text += "pid=12345\n";  // straddles the cut: only "pid=12" is read
    fill_to(70000);
    text += "metric=9\n";  // after the cut: never read
    fill_to(100000);
    ASSERT_EQ(text.size(), 100000u);
    ASSERT_EQ(text.substr(66560 - 6, 6), "pid=12");
    put(paths().ledger, text);

    SessionLedger out;
    ASSERT_EQ(files_.load_ledger(out), 1);
    EXPECT_EQ(out.generation, 42);
    EXPECT_EQ(out.phase, SessionState::connected);
    EXPECT_EQ(out.pid, 12u);
    EXPECT_EQ(out.pin.metric, 0u);
}

TEST_F(SessionFilesTest, LoadSalvagesADottedDestinationFromABadLedger) {
    const std::string bad = "v1\ngeneration=abc\ndestination=203.0.113.7\npid=3\n";
    put(paths().ledger, bad);
    put(paths().ledger_bad, "an older bad ledger");
    SessionLedger out;
    ASSERT_EQ(files_.load_ledger(out), 1);
    EXPECT_EQ(out.phase, SessionState::disconnecting);
    EXPECT_FALSE(out.cleanup_verified);
    EXPECT_TRUE(out.pin_intended);
    EXPECT_EQ(out.pin.destination, "203.0.113.7");
    EXPECT_EQ(out.pin.interface_luid, 0u);
    EXPECT_FALSE(Exists(paths().ledger));
    std::string moved;
    ASSERT_TRUE(ReadBytes(paths().ledger_bad, moved));
    EXPECT_EQ(moved, bad);
}

TEST_F(SessionFilesTest, LoadOfARejectedTextSalvagesOnlyADottedDestination) {
    struct Case {
        const char* text;
        int expected;
    };
    const Case cases[] = {
        {"v2\ndestination=203.0.113.7\n", 1},
        {"v1\ngeneration=x\n", -1},
        {"v1\ngeneration=x\ndestination=server.example\n", -1},
        {"v1\ninterface_luid=-\ndestination=1.2.3\n", -1},
    };
    for (const Case& c : cases) {
        put(paths().ledger, c.text);
        SessionLedger out;
        out.generation = 99;
        EXPECT_EQ(files_.load_ledger(out), c.expected) << c.text;
        if (c.expected == -1) {
            EXPECT_EQ(out.generation, 99) << c.text;  // untouched
        }
        std::string moved;
        ASSERT_TRUE(ReadBytes(paths().ledger_bad, moved));
        EXPECT_EQ(moved, c.text);
        EXPECT_FALSE(Exists(paths().ledger));
    }
}

TEST_F(SessionFilesTest, DeleteLedgerSucceedsAlsoWithoutOne) {
    EXPECT_TRUE(files_.delete_ledger());  // not even a run directory yet
    put(paths().ledger, "v1\n");
    EXPECT_TRUE(files_.delete_ledger());
    EXPECT_FALSE(Exists(paths().ledger));
    EXPECT_TRUE(files_.delete_ledger());
}

TEST(EngineConfigDescriptor, IsProtectedAndNamesOnlySystemAndAdministrators) {
    SddlDescriptor descriptor(kEngineConfigSddl);
    ASSERT_TRUE(descriptor.valid());
    const testing::SecurityView view = testing::DescribeDescriptor(descriptor.get());
    ASSERT_TRUE(view.read && view.dacl_present);
    EXPECT_TRUE(view.dacl_protected);
    ASSERT_EQ(view.aces.size(), 2u);
    const char* sids[] = {testing::kSystemSid, testing::kAdministratorsSid};
    for (size_t i = 0; i < 2; ++i) {
        const testing::AceView& ace = view.aces[i];
        EXPECT_EQ(ace.type, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace.flags, 0);
        EXPECT_EQ(ace.mask, 0x1F01FFu);
        EXPECT_EQ(ace.sid, sids[i]);
    }
}

// As read back (Wine keeps only what Unix modes express): nobody but SYSTEM, Administrators and
// the owner is named at all.
void ExpectOnlyTrustedReaders(const std::wstring& path) {
    SecurityView view = ReadSecurity(path);
    ASSERT_TRUE(view.read);
    ASSERT_TRUE(view.dacl_present);
    EXPECT_FALSE(view.aces.empty());
    for (const auto& ace : view.aces) {
        bool trusted =
            ace.sid == testing::kSystemSid || ace.sid == testing::kAdministratorsSid || ace.sid == view.owner;
        EXPECT_TRUE(trusted) << ace.sid;
    }
}

TEST_F(SessionFilesTest, WriteEngineConfigWritesTheTextWithTheProtectedDescriptor) {
    const std::string json = "{\"log\":{\"level\":\"warn\"},\"secret\":\"s3cr3t\"}";
    ASSERT_TRUE(files_.write_engine_config(json));
    EXPECT_EQ(files_.last_error(), 0u);
    std::string text;
    ASSERT_TRUE(ReadBytes(paths().engine_config, text));
    EXPECT_EQ(text, json);
    EXPECT_TRUE(files_.engine_config_exists());
    ExpectOnlyTrustedReaders(paths().engine_config);
}

TEST_F(SessionFilesTest, WriteEngineConfigDoesNotKeepTheSecurityOfAnExistingFile) {
    put(paths().engine_config, "old");
    ASSERT_EQ(testing::SetDaclFromSddl(paths().engine_config, L"D:(A;;FA;;;WD)"), 0u);
    ASSERT_EQ(ReadSecurity(paths().engine_config).aces.back().sid, "S-1-1-0");

    ASSERT_TRUE(files_.write_engine_config("{}"));
    std::string text;
    ASSERT_TRUE(ReadBytes(paths().engine_config, text));
    EXPECT_EQ(text, "{}");
    ExpectOnlyTrustedReaders(paths().engine_config);
}

TEST_F(SessionFilesTest, WriteEngineConfigDoesNotKeepAForeignOwner) {
    put(paths().engine_config, std::string(300, 'o'));
    if (!testing::MakeForeignOwned(paths().engine_config)) {
        GTEST_SKIP() << "cannot give away ownership here";
    }
    ASSERT_TRUE(files_.write_engine_config("{\"a\":1}"));
    EXPECT_EQ(ReadSecurity(paths().engine_config).owner, testing::ProcessUserSidText());
    std::string text;
    ASSERT_TRUE(ReadBytes(paths().engine_config, text));
    EXPECT_EQ(text, "{\"a\":1}");
}

TEST_F(SessionFilesTest, WriteEngineConfigFailsWithTheDeleteErrorWhenTheFileCannotGo) {
    put(paths().engine_config, "old");
    HANDLE holder = CreateFileW(paths().engine_config.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(files_.write_engine_config("{\"new\":1}"));
    EXPECT_EQ(files_.last_error(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    CloseHandle(holder);
    std::string text;
    ASSERT_TRUE(ReadBytes(paths().engine_config, text));
    EXPECT_EQ(text, "old");
    // The next write clears the error.
    EXPECT_TRUE(files_.write_engine_config("{}"));
    EXPECT_EQ(files_.last_error(), 0u);
}

TEST_F(SessionFilesTest, ShredOverwritesWithZerosThenDeletes) {
    const std::string json(3000, 'k');
    ASSERT_TRUE(files_.write_engine_config(json));
    // A second name for the same data shows what the shred left in it.
    const std::wstring link = paths().run + L"\\witness.json";
    if (!CreateHardLinkW(link.c_str(), paths().engine_config.c_str(), nullptr)) {
        GTEST_SKIP() << "hard links unavailable here, error " << GetLastError();
    }
    EXPECT_TRUE(files_.shred_engine_config());
    EXPECT_FALSE(files_.engine_config_exists());
    std::string left;
    ASSERT_TRUE(ReadBytes(link, left));
    EXPECT_EQ(left, std::string(3000, '\0'));
}

TEST_F(SessionFilesTest, ShredOfAMissingOrEmptyFileSucceeds) {
    EXPECT_TRUE(files_.shred_engine_config());  // not even a run directory yet
    EnsureRunDirectory(paths());
    EXPECT_TRUE(files_.shred_engine_config());
    put(paths().engine_config, "");
    EXPECT_TRUE(files_.shred_engine_config());
    EXPECT_FALSE(Exists(paths().engine_config));
}

TEST_F(SessionFilesTest, ShredFailsWhileAnotherHandleHoldsTheFile) {
    put(paths().engine_config, "secret");
    HANDLE holder = CreateFileW(paths().engine_config.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(files_.shred_engine_config());
    CloseHandle(holder);
    EXPECT_TRUE(files_.engine_config_exists());
}

TEST_F(SessionFilesTest, ReadPinAcceptsOnlyDottedText) {
    struct Case {
        const char* content;
        const char* expected;
    };
    const Case cases[] = {
        {"198.51.100.4\r\nmore text", "198.51.100.4"},
        {"10.0.0.1\n", "10.0.0.1"},
        {"10.0.0.1", "10.0.0.1"},
        {"1.2.3.", "1.2.3."},
        {"10.0.0.1\r\r\n", ""},
        {"1.2.3", ""},
        {"1.2.3.4.5", ""},
        {"1.2.a.4", ""},
        {"1234.5678.9012.3", ""},
        {" 1.2.3.4", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        put(paths().pin, c.content);
        EXPECT_EQ(files_.read_pin(), c.expected) << c.content;
    }
}

TEST_F(SessionFilesTest, ReadPinWithoutAFileAndDeletePin) {
    EXPECT_EQ(files_.read_pin(), "");
    put(paths().pin, "192.0.2.9\n");
    files_.delete_pin();
    EXPECT_FALSE(Exists(paths().pin));
    EXPECT_EQ(files_.read_pin(), "");
    files_.delete_pin();  // nothing there: no effect
}

TEST(Win32SessionFilesBase, ExplicitBaseDirectory) {
    Win32SessionFiles files(L"E:\\Data");
    EXPECT_EQ(files.paths().ledger, L"E:\\Data\\Vantorel\\run\\ledger.txt");
    EXPECT_EQ(files.paths().engine_config, L"E:\\Data\\Vantorel\\run\\current_session.json");
}

}  // namespace
}  // namespace vantorel
