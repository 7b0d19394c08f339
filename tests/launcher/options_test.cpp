#include "launcher/options.h"

#include <gtest/gtest.h>

using namespace launcher;

namespace {

Parse_Result parse(std::vector<std::string> args, Options& opt, std::string& error) {
    return parse_options(args, opt, error);
}

}  // namespace

TEST(Options, FlagFormsSetTheirFields) {
    Options opt;
    std::string error;
    ASSERT_EQ(parse({"-backend:http://127.0.0.1:8080/", "-dir=/games/t", "-channel:beta", "-screenshot:shot",
                     "-seconds:2.5", "-tab:maps", "-no-install"},
                    opt, error),
              Parse_Result::Ok);
    EXPECT_EQ(opt.backend, "http://127.0.0.1:8080/");
    EXPECT_EQ(opt.dir, "/games/t");
    EXPECT_EQ(opt.channel, "beta");
    EXPECT_EQ(opt.screenshot, "shot");
    EXPECT_DOUBLE_EQ(opt.seconds, 2.5);
    EXPECT_EQ(opt.tab, "maps");
    EXPECT_TRUE(opt.no_install);
}

TEST(Options, FirstSeparatorEndsTheNameAndTheValueKeepsTheRest) {
    Options opt;
    std::string error;
    ASSERT_EQ(parse({"-backend=http://h:1/a=b:c", "-dir:"}, opt, error), Parse_Result::Ok);
    EXPECT_EQ(opt.backend, "http://h:1/a=b:c");
    EXPECT_EQ(opt.dir, "");
}

TEST(Options, BooleanTakesAWord) {
    Options opt;
    std::string error;
    ASSERT_EQ(parse({"-no-install:false"}, opt, error), Parse_Result::Ok);
    EXPECT_FALSE(opt.no_install);
    ASSERT_EQ(parse({"-no-install=true"}, opt, error), Parse_Result::Ok);
    EXPECT_TRUE(opt.no_install);
    EXPECT_EQ(parse({"-no-install:maybe"}, opt, error), Parse_Result::Error);
}

TEST(Options, HelpRequests) {
    Options opt;
    std::string error;
    EXPECT_EQ(parse({"-help"}, opt, error), Parse_Result::Help);
    EXPECT_EQ(parse({"-h"}, opt, error), Parse_Result::Help);
    EXPECT_EQ(parse({"-dir:x", "-help"}, opt, error), Parse_Result::Help);
}

TEST(Options, ErrorsGiveOneLine) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"-foo"}, {"-dir"}, {"positional"}, {"-"}, {"-seconds:abc"}, {"-seconds"}, {"-seconds:0x10"},
             {"-seconds:inf"}, {"-help:yes"}, {"--dir:x"}}) {
        Options opt;
        std::string error;
        EXPECT_EQ(parse(args, opt, error), Parse_Result::Error) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
        EXPECT_EQ(error.find('\n'), std::string::npos) << args[0];
    }
}

TEST(Options, SecondsAcceptsSignedDecimals) {
    Options opt;
    std::string error;
    ASSERT_EQ(parse({"-seconds:-3"}, opt, error), Parse_Result::Ok);
    EXPECT_DOUBLE_EQ(opt.seconds, -3);
    ASSERT_EQ(parse({"-seconds:1e1"}, opt, error), Parse_Result::Ok);
    EXPECT_DOUBLE_EQ(opt.seconds, 10);
}

TEST(Options, UsageListsEveryFlagWithAlignedSeparators) {
    std::string usage = usage_text("tarnwick-launcher");
    EXPECT_EQ(usage.rfind("Usage:\n\ttarnwick-launcher [-backend] [-dir] [-channel] [-screenshot] [-seconds] [-tab] [-no-install]\nFlags:\n", 0), 0u)
        << usage;
    size_t column = std::string::npos;
    int lines = 0;
    size_t start = usage.find("Flags:\n") + 7;
    while (start < usage.size()) {
        size_t end = usage.find('\n', start);
        std::string line = usage.substr(start, end - start);
        size_t sep = line.find("  | ");
        ASSERT_NE(sep, std::string::npos) << line;
        if (column == std::string::npos) column = sep;
        EXPECT_EQ(sep, column) << line;
        EXPECT_EQ(line[0], '\t');
        lines++;
        start = end + 1;
    }
    EXPECT_EQ(lines, 7);
    EXPECT_NE(usage.find("\t-backend:<string>"), std::string::npos);
    EXPECT_NE(usage.find("  | save a screenshot under this name and quit (testing)\n"), std::string::npos);
    EXPECT_NE(usage.find("\t-no-install "), std::string::npos);
}

TEST(Options, DefaultBackendIsAnHttpsBaseOf23Characters) {
    std::string url = default_backend;
    EXPECT_EQ(url.size(), 23u);
    EXPECT_EQ(url.rfind("https://", 0), 0u);
    EXPECT_NE(url.back(), '/');
}

TEST(Options, ScaleTakesOneToFourAndStaysOutOfTheUsage) {
    for (auto [arg, want] : {std::pair{"-scale:2", 2.0}, {"-scale=1.25", 1.25}, {"-scale:0.5", 0.0}, {"-scale:5", 0.0},
                             {"-scale:x", 0.0}, {"-scale", 0.0}}) {
        Options opt;
        std::string error;
        EXPECT_EQ(parse({arg}, opt, error), want > 0 ? Parse_Result::Ok : Parse_Result::Error) << arg;
        EXPECT_DOUBLE_EQ(want > 0 ? opt.scale : 0, want) << arg;
    }
    EXPECT_EQ(usage_text("tarnwick-launcher").find("scale"), std::string::npos);
}
