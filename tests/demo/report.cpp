#include "report.h"

#include <gtest/gtest.h>

#include <regex>

const char* const debugOutputWarning =
    "Warning: GL_ARB_debug_output not available, no errors or warnings will be logged!";

void expectFatal(const RunResult& run, const std::string& source, const std::string& message)
{
    EXPECT_EQ(run.status, 1);
    ASSERT_FALSE(run.err.empty()) << "nothing on standard error";
    EXPECT_EQ(run.err.back(), '\n') << "the report does not end the output with a newline";
    auto err = lines(run.err);
    std::smatch match;
    std::regex report("^.*src/" + std::regex_replace(source, std::regex("\\."), "\\.") + ":[0-9]+: (.*)$");
    ASSERT_TRUE(std::regex_match(err.back(), match, report)) << "standard error:\n" << run.err;
    EXPECT_EQ(match[1].str(), message);
    for (size_t i = 0; i + 1 < err.size(); ++i)
        EXPECT_TRUE(err[i].rfind("[OpenGL] ", 0) == 0 || err[i] == debugOutputWarning)
            << "unexpected line before the report: " << err[i];
}

void expectInfoLines(const std::vector<std::string>& out)
{
    ASSERT_GE(out.size(), 3u);
    size_t first = out.size() - 3;
    EXPECT_TRUE(std::regex_match(out[first], std::regex("Version: [0-9]+\\.[0-9]+.*"))) << out[first];
    EXPECT_TRUE(std::regex_match(out[first + 1], std::regex("Vendor:  [^ ].*"))) << out[first + 1];
    EXPECT_TRUE(std::regex_match(out[first + 2], std::regex("GLSL:    [0-9]+\\.[0-9]+.*"))) << out[first + 2];
}
