#include "broker/win32/win32_tunnel_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "broker/win32/wide_text.h"
#include "common/win32/win_handle.h"
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
    ASSERT_TRUE(
        std::regex_match(text, m,
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
    HANDLE writer = CreateFileW(paths.service_log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
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
    for (Case c :
         {Case{fits - 1, 510, false}, Case{fits, 511, false}, Case{fits + 1, 511, true}, Case{2000, 511, true}}) {
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
        HANDLE held = CreateFileW(held_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(clear_log_files(), c.expected);
        CloseHandle(held);
        EXPECT_TRUE(Exists(held_path));
        EXPECT_FALSE(Exists(free_path));
    }
}

// How often each event appears in the text, with every line checked against the format.
std::map<std::string, int> EventCounts(const std::string& text, int& malformed) {
    static const std::regex line(
        "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z generation=\\d+ event=(\\S+) code=\\S+ win32=0\r");
    std::map<std::string, int> counts;
    malformed = 0;
    std::istringstream lines(text);
    std::string one;
    std::smatch m;
    while (std::getline(lines, one)) {
        if (std::regex_match(one, m, line)) {
            counts[m[1]] += 1;
        } else {
            malformed += 1;
        }
    }
    return counts;
}

// Every event `prefix`0 .. `prefix`(count-1) exactly once.
void ExpectEachOnce(const std::map<std::string, int>& counts, const std::string& prefix, int count) {
    int missing = 0;
    int repeated = 0;
    for (int i = 0; i < count; ++i) {
        const auto found = counts.find(prefix + std::to_string(i));
        if (found == counts.end()) {
            ++missing;
        } else if (found->second != 1) {
            ++repeated;
        }
    }
    EXPECT_EQ(missing, 0) << prefix;
    EXPECT_EQ(repeated, 0) << prefix;
}

// Each writer's lines, `prefix`0 .. `prefix`(count-1), exactly once in well-formed lines.
void ExpectEveryLineOnce(const std::vector<std::pair<std::string, int>>& writers) {
    int malformed = 0;
    const auto counts = EventCounts(LogText(), malformed);
    EXPECT_EQ(malformed, 0);
    for (const auto& [prefix, count] : writers) ExpectEachOnce(counts, prefix, count);
}

const std::string& FullLog() {
    static const std::string full(kLogRotateAbove + 1, 'x');
    return full;
}

// service.log just over the limit, beside an older generation that a rotation replaces.
void FillLogForRotation() {
    DataPaths paths = CurrentDataPaths();
    EnsureLogDirectory(paths);
    ASSERT_TRUE(WriteBytes(paths.service_log, FullLog()));
    ASSERT_TRUE(WriteBytes(paths.service_log_previous, "older generation\r\n"));
}

// One rotation: service.log.1 holds the full generation, never a one-line file moved over it.
void ExpectTheFullLogKept() {
    std::string previous;
    ASSERT_TRUE(ReadBytes(CurrentDataPaths().service_log_previous, previous));
    EXPECT_TRUE(previous == FullLog()) << previous.size() << " bytes";
}

void WriteLines(Win32TunnelLog& log, const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i) log.write(1, prefix + std::to_string(i), "thread", 0);
}

// Runs `work` on two threads released together.
void OnTwoThreadsAtOnce(const std::function<void(int)>& work) {
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            arrived.fetch_add(1);
            while (arrived.load() < 2) std::this_thread::yield();
            work(t);
        });
    }
    for (std::thread& thread : threads) thread.join();
}

TEST(Win32TunnelLogWriters, TwoThreadsLoseNoLine) {
    ScratchProgramData scratch;
    Win32TunnelLog log;
    constexpr int kLines = 1000;
    OnTwoThreadsAtOnce([&log](int t) { WriteLines(log, t == 0 ? "a" : "b", kLines); });
    ExpectEveryLineOnce({{"a", kLines}, {"b", kLines}});
}

// A full log and two writers at once: one rotation.
TEST(Win32TunnelLogWriters, TwoThreadsDueToRotateMakeOneRotation) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ScratchProgramData scratch;
        FillLogForRotation();
        Win32TunnelLog log;
        OnTwoThreadsAtOnce([&log](int t) { WriteLines(log, t == 0 ? "a" : "b", 5); });
        ExpectTheFullLogKept();
        ExpectEveryLineOnce({{"a", 5}, {"b", 5}});
    }
}

// Starts log_writer.exe beside this test with the given arguments; the process handle.
WinHandle StartLogWriter(const std::wstring& arguments) {
    const std::wstring program = DirectoryOf(OwnExecutablePath()) + L"\\log_writer.exe";
    std::wstring command = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return WinHandle();
    }
    CloseHandle(process.hThread);
    return WinHandle(process.hProcess);
}

DWORD FinishWithin(const WinHandle& process, DWORD ms) {
    DWORD code = 259;
    if (WaitForSingleObject(process.get(), ms) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
    return code;
}

// Another process (a --reconcile run) writing while this one writes: its opens meet ours at
// the file and wait their turn.
TEST(Win32TunnelLogWriters, AnotherProcessWritingMeanwhileLosesNoLine) {
    ScratchProgramData scratch;
    constexpr int kTheirs = 400;
    WinHandle writer = StartLogWriter(std::to_wstring(kTheirs) + L" other");
    ASSERT_TRUE(writer.valid()) << "log_writer.exe next to the test";
    Win32TunnelLog log;
    int ours = 0;
    while (WaitForSingleObject(writer.get(), 0) == WAIT_TIMEOUT && ours < 20000) {
        log.write(1, "own" + std::to_string(ours), "thread", 0);
        ++ours;
    }
    EXPECT_EQ(FinishWithin(writer, 10000), 0u);
    ExpectEveryLineOnce({{"other", kTheirs}, {"own", ours}});
}

// Both processes find the log full at once: the rotation is checked on the file it renames,
// so the full generation survives in service.log.1.
TEST(Win32TunnelLogWriters, AnotherProcessDueToRotateMakesNoSecondRotation) {
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ScratchProgramData scratch;
        const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(round);
        const std::wstring ready_name = L"vantorel-log-ready-" + tag;
        const std::wstring go_name = L"vantorel-log-go-" + tag;
        WinHandle ready(CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str()));
        WinHandle go(CreateEventW(nullptr, TRUE, FALSE, go_name.c_str()));
        ASSERT_TRUE(ready.valid() && go.valid());
        WinHandle writer = StartLogWriter(L"20 other " + ready_name + L" " + go_name);
        ASSERT_TRUE(writer.valid()) << "log_writer.exe next to the test";
        ASSERT_EQ(WaitForSingleObject(ready.get(), 10000), WAIT_OBJECT_0);
        FillLogForRotation();
        Win32TunnelLog log;
        SetEvent(go.get());
        WriteLines(log, "own", 20);
        EXPECT_EQ(FinishWithin(writer, 10000), 0u);
        ExpectTheFullLogKept();
        ExpectEveryLineOnce({{"own", 20}, {"other", 20}});
    }
}

TEST(Win32TunnelLogWriters, ClearingTakesItsTurnWithTheWriters) {
    ScratchProgramData scratch;
    Win32TunnelLog log;
    std::vector<std::vector<std::string>> left;
    OnTwoThreadsAtOnce([&log, &left](int t) {
        if (t == 0) {
            WriteLines(log, "a", 300);
        } else {
            for (int i = 0; i < 20; ++i) left.push_back(log.clear_files());
        }
    });
    // No clear ever met a writer holding the file.
    for (const auto& names : left) EXPECT_TRUE(names.empty());
    ExpectEveryLineOnce({});
}

}  // namespace
}  // namespace vantorel
