#include "broker/win32/win32_tunnel_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/wine/test_data_directory_scratch.h"

namespace vantorel {
namespace {

using testing::Exists;
using testing::ReadBytes;
using testing::ScratchProgramData;
using testing::WriteBytes;

std::string LogText() {
    std::string text;
    ReadBytes(CurrentDataPaths().service_log, text);
    return text;
}

TEST(Win32TunnelLog, WritesOneLineInTheFixedFormatCreatingTheDirectory) {
    ScratchProgramData scratch;
    ASSERT_FALSE(Exists(CurrentDataPaths().logs));
    SYSTEMTIME before{};
    GetSystemTime(&before);
    Win32TunnelLog().write(-3, "routes", "pin_failed", 5);

    std::string text = LogText();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        text, m,
        std::regex("(\\d{4})-(\\d{2})-(\\d{2})T\\d{2}:\\d{2}:\\d{2}Z generation=-3 event=routes "
                   "code=pin_failed win32=5\r\n")))
        << text;
    EXPECT_EQ(std::stoi(m[1]), before.wYear);
    EXPECT_EQ(std::stoi(m[2]), before.wMonth);
}

TEST(Win32TunnelLog, AppendsAndWritesADashForAnEmptyCode) {
    ScratchProgramData scratch;
    Win32TunnelLog log;
    log.write(7, "state", "", 0);
    log.write(9223372036854775807LL, "engine", "core_exited", 4294967295u);
    std::regex line("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z ");
    std::string text = std::regex_replace(LogText(), line, "<t> ");
    EXPECT_EQ(text,
              "<t> generation=7 event=state code=- win32=0\r\n"
              "<t> generation=9223372036854775807 event=engine code=core_exited win32=4294967295\r\n");
}

TEST(Win32TunnelLog, RotatesOnlyAboveOneMebibyte) {
    struct Case {
        size_t existing;
        bool rotated;
    };
    for (Case c : {Case{1048576, false}, Case{1048577, true}}) {
        ScratchProgramData scratch;
        DataPaths paths = CurrentDataPaths();
        EnsureLogDirectory(paths);
        const std::string old(c.existing, 'x');
        ASSERT_TRUE(WriteBytes(paths.service_log, old));
        ASSERT_TRUE(WriteBytes(paths.service_log_previous, "older generation\r\n"));
        Win32TunnelLog().write(1, "state", "idle", 0);

        std::string current;
        std::string previous;
        ASSERT_TRUE(ReadBytes(paths.service_log, current));
        ASSERT_TRUE(ReadBytes(paths.service_log_previous, previous));
        if (c.rotated) {
            EXPECT_EQ(previous, old) << c.existing;
            EXPECT_EQ(current.find('x'), std::string::npos) << c.existing;
            EXPECT_NE(current.find(" generation=1 event=state code=idle win32=0\r\n"), std::string::npos);
        } else {
            EXPECT_EQ(previous, "older generation\r\n") << c.existing;
            EXPECT_EQ(current.substr(0, old.size()), old) << c.existing;
            EXPECT_GT(current.size(), old.size());
        }
    }
}

TEST(Win32TunnelLog, DropsTheLineWhileAnotherWriterHoldsTheFile) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    Win32TunnelLog log;
    log.write(1, "first", "-", 0);
    HANDLE writer = CreateFileW(paths.service_log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    log.write(2, "dropped", "-", 0);
    CloseHandle(writer);
    log.write(3, "third", "-", 0);
    std::string text = LogText();
    EXPECT_NE(text.find("event=first"), std::string::npos);
    EXPECT_EQ(text.find("event=dropped"), std::string::npos);
    EXPECT_NE(text.find("event=third"), std::string::npos);
}

// Length of a formatted line whose event text has `event_length` characters.
size_t LineLength(size_t event_length) {
    return FormatLogLine(2026, 12, 8, 1, 2, 3, 12, std::string(event_length, 'e'), "c", 0).size();
}

TEST(FormatLogLine, KeepsALineThatFitsAndCutsALongerOneBeforeItsLineEnd) {
    const size_t base = LineLength(0);
    const size_t fits = 511 - base;  // event length giving exactly 511 bytes
    struct Case {
        size_t event_length;
        size_t expected_length;
        bool cut;
    };
    for (Case c : {Case{fits - 1, 510, false}, Case{fits, 511, false}, Case{fits + 1, 511, true},
                   Case{2000, 511, true}}) {
        std::string event(c.event_length, 'e');
        std::string line = FormatLogLine(2026, 12, 8, 1, 2, 3, 12, event, "c", 0);
        EXPECT_EQ(line.size(), c.expected_length) << c.event_length;
        EXPECT_EQ(line.substr(line.size() - 2), "\r\n") << c.event_length;
        EXPECT_EQ(line.find('\r'), line.size() - 2) << c.event_length;
        const std::string whole = "2026-12-08T01:02:03Z generation=12 event=" + event + " code=c win32=0";
        if (c.cut) {
            EXPECT_EQ(line.substr(0, 509), whole.substr(0, 509)) << c.event_length;
        } else {
            EXPECT_EQ(line, whole + "\r\n") << c.event_length;
        }
    }
}

TEST(FormatLogLine, LineBreaksInsideFieldsCannotForgeAnotherLine) {
    std::string line = FormatLogLine(2026, 1, 2, 3, 4, 5, 1, "foreign_adapter",
                                     "Wi-Fi\r\n2026-01-02T03:04:05Z generation=1 event=fake", 0);
    EXPECT_EQ(line,
              "2026-01-02T03:04:05Z generation=1 event=foreign_adapter code=Wi-Fi  2026-01-02T03:04:05Z "
              "generation=1 event=fake win32=0\r\n");
}

TEST(ClearLogFiles, NothingThereGivesAnEmptyList) {
    ScratchProgramData scratch;
    EXPECT_TRUE(clear_log_files().empty());
    EXPECT_TRUE(Exists(CurrentDataPaths().logs));
}

TEST(ClearLogFiles, DeletesBothFiles) {
    ScratchProgramData scratch;
    DataPaths paths = CurrentDataPaths();
    EnsureLogDirectory(paths);
    ASSERT_TRUE(WriteBytes(paths.service_log, "a\r\n"));
    ASSERT_TRUE(WriteBytes(paths.service_log_previous, "b\r\n"));
    EXPECT_TRUE(clear_log_files().empty());
    EXPECT_FALSE(Exists(paths.service_log));
    EXPECT_FALSE(Exists(paths.service_log_previous));
}

TEST(ClearLogFiles, NamesAFileHeldOpenWithoutDeleteSharing) {
    struct Case {
        bool hold_current;
        std::vector<std::string> expected;
    };
    for (const Case& c : {Case{true, {"service.log"}}, Case{false, {"service.log.1"}}}) {
        ScratchProgramData scratch;
        DataPaths paths = CurrentDataPaths();
        EnsureLogDirectory(paths);
        ASSERT_TRUE(WriteBytes(paths.service_log, "a\r\n"));
        ASSERT_TRUE(WriteBytes(paths.service_log_previous, "b\r\n"));
        const std::wstring& held_path = c.hold_current ? paths.service_log : paths.service_log_previous;
        const std::wstring& free_path = c.hold_current ? paths.service_log_previous : paths.service_log;
        HANDLE held = CreateFileW(held_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(clear_log_files(), c.expected);
        CloseHandle(held);
        EXPECT_TRUE(Exists(held_path));
        EXPECT_FALSE(Exists(free_path));
    }
}

}  // namespace
}  // namespace vantorel
