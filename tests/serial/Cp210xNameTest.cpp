#include <gtest/gtest.h>

#include <string>

#include "platform/Cp210xName.h"

namespace {

const std::string kBridge = "Silicon Labs CP210x USB to UART Bridge";

TEST(Cp210xPortNumber, ReadsTheComNumberOnlyFromBridgeNames) {
    const struct {
        std::string name;
        int number;
    } cases[] = {
        {kBridge + " (COM12)", 12},
        {kBridge + " (COM", 0},  // exactly as long as the text before the number
        {"USB Serial Port (COM3)", 0},
        // The five characters before the number are not read: another spelling still counts.
        {kBridge + " [xx:5)", 5},
        // Only the digits directly after them.
        {kBridge + " (COM 5)", 0},
        {kBridge + " (COM9x1)", 9},
        {kBridge + " (COM99999999999)", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::Cp210xPortNumber(c.name), c.number) << '"' << c.name << '"';
    }
}

}  // namespace
