// The command line: only a switch that ends the line takes effect, in any letter case and
// after '-' or '/'; a plain argument asks for default settings.
#include <gtest/gtest.h>

#include "command_line.h"

namespace {

using Registration = StartupRequest::Registration;

TEST(CommandLine, RegistrationSwitchesMustEndTheLine) {
    EXPECT_EQ(Registration::Register, ParseCommandLine("/RegServer", false).registration);
    EXPECT_EQ(Registration::Register, ParseCommandLine("-regserver", false).registration);
    EXPECT_EQ(Registration::Unregister, ParseCommandLine("/UNREGSERVER", false).registration);
    EXPECT_EQ(Registration::None, ParseCommandLine("/RegServer extra", false).registration);
    EXPECT_EQ(Registration::None, ParseCommandLine("/RegServer /Configure", false).registration)
        << "the first token is compared with the whole rest of the line";
    EXPECT_EQ(Registration::Register,
              ParseCommandLine("-Embedding /RegServer", false).registration);
}

TEST(CommandLine, ConfigureAndDefaultSettingsYieldToARunningConfigurator) {
    EXPECT_TRUE(ParseCommandLine("/Configure", false).configure);
    EXPECT_FALSE(ParseCommandLine("/Configure", true).configure);
    EXPECT_TRUE(ParseCommandLine("-DefaultSettings", false).defaultSettings);
    EXPECT_FALSE(ParseCommandLine("-DefaultSettings", true).defaultSettings);
    StartupRequest both = ParseCommandLine("/Configure /DefaultSettings", false);
    EXPECT_FALSE(both.configure);
    EXPECT_TRUE(both.defaultSettings) << "only the switch that ends the line counts";
}

TEST(CommandLine, COMStartIsAPlainServerAndAPlainArgumentAsksForDefaults) {
    StartupRequest com = ParseCommandLine("-Embedding", false);
    EXPECT_EQ(Registration::None, com.registration);
    EXPECT_FALSE(com.configure);
    EXPECT_FALSE(com.defaultSettings);
    EXPECT_TRUE(com.embedding) << "the process was started for a client";
    EXPECT_TRUE(ParseCommandLine("/embedding", false).embedding);
    EXPECT_FALSE(ParseCommandLine("", false).embedding) << "started by hand";
    EXPECT_FALSE(ParseCommandLine("/Configure", false).embedding);
    EXPECT_FALSE(ParseCommandLine("-Embedding /Configure", false).embedding);
    EXPECT_TRUE(ParseCommandLine("config.cfg", false).defaultSettings);
    EXPECT_TRUE(ParseCommandLine("-Embedding \"my file\"", false).defaultSettings);
    EXPECT_FALSE(ParseCommandLine("", false).defaultSettings);
}

TEST(CommandLine, SwitchTokensAndArguments) {
    const char* line = "a-b/c";
    EXPECT_STREQ("b/c", NextSwitchToken(line));
    EXPECT_STREQ("c", NextSwitchToken(NextSwitchToken(line)));
    EXPECT_EQ(nullptr, NextSwitchToken("plain"));
    EXPECT_EQ(nullptr, NextSwitchToken(nullptr));
    EXPECT_EQ("-Embedding", ArgumentsOf("\"C:\\Program Files\\x.exe\" -Embedding"));
    EXPECT_EQ("/RegServer", ArgumentsOf("C:\\x.exe   /RegServer"));
    EXPECT_EQ("", ArgumentsOf("x.exe"));
}

}  // namespace
