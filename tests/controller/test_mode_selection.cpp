#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/mode_selection.h"

namespace vantorel {
namespace {

struct ModeCase {
    const char* name;
    std::vector<std::wstring> args;
    bool known;
    ControllerMode mode;
};

class ModeArguments : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeArguments, SelectByFirstArgumentOnly) {
    const ModeChoice choice = SelectMode(GetParam().args);
    EXPECT_EQ(choice.known, GetParam().known);
    if (GetParam().known) {
        EXPECT_EQ(choice.mode, GetParam().mode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ModeArguments,
    ::testing::Values(
        ModeCase{"no_argument", {L"VantorelCtl.exe"}, true, ControllerMode::session},
        ModeCase{"session", {L"VantorelCtl.exe", L"session"}, true, ControllerMode::session},
        ModeCase{"status", {L"VantorelCtl.exe", L"status"}, true, ControllerMode::status},
        ModeCase{"disconnect", {L"VantorelCtl.exe", L"disconnect"}, true, ControllerMode::disconnect},
        ModeCase{"status_then_extra", {L"VantorelCtl.exe", L"status", L"extra"}, true, ControllerMode::status},
        ModeCase{"capital_status", {L"VantorelCtl.exe", L"Status"}, false, ControllerMode::session},
        ModeCase{"dashed_status", {L"VantorelCtl.exe", L"--status"}, false, ControllerMode::session},
        ModeCase{"trailing_space", {L"VantorelCtl.exe", L"status "}, false, ControllerMode::session},
        ModeCase{"empty_argument", {L"VantorelCtl.exe", L""}, false, ControllerMode::session},
        ModeCase{"unknown_then_status", {L"VantorelCtl.exe", L"help", L"status"}, false, ControllerMode::session}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantorel
