#include "report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

using ::testing::MatchesRegex;

const char* const debugOutputWarning =
    "Warning: GL_ARB_debug_output not available, no errors or warnings will be logged!";

void expectFatal(const RunResult& run, const std::string& source, const std::string& message)
{
    EXPECT_EQ(run.status, 1);
    ASSERT_FALSE(run.err.empty()) << "nothing on standard error";
    EXPECT_EQ(run.err.back(), '\n') << "the report does not end the output with a newline";
    auto err = lines(run.err);
    const std::string& report = err.back();
    const std::string location = "src/" + source + ":";
    size_t line = report.find(location);
    ASSERT_NE(line, std::string::npos) << "standard error:\n" << run.err;
    line += location.size();
    size_t text = report.find(": ", line);
    ASSERT_TRUE(text != std::string::npos && text > line &&
                std::all_of(report.begin() + line, report.begin() + text, ::isdigit))
        << "no line number in the report: " << report;
    EXPECT_EQ(report.substr(text + 2), message);
    for (size_t i = 0; i + 1 < err.size(); ++i)
        EXPECT_TRUE(err[i].rfind("[OpenGL] ", 0) == 0 || err[i] == debugOutputWarning)
            << "unexpected line before the report: " << err[i];
}

void expectInfoLines(const std::vector<std::string>& out)
{
    ASSERT_GE(out.size(), 3u);
    size_t first = out.size() - 3;
    EXPECT_THAT(out[first], MatchesRegex("Version: [0-9]+\\.[0-9]+.*"));
    EXPECT_THAT(out[first + 1], MatchesRegex("Vendor:  [^ ].*"));
    EXPECT_THAT(out[first + 2], MatchesRegex("GLSL:    [0-9]+\\.[0-9]+.*"));
}
