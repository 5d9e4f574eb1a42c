// Option parsing quirks.
#include <gtest/gtest.h>

#include <vector>

#include "cli/options.h"

using cli::CommandOptions;

namespace {

bool Parse(std::vector<const char*> args, CommandOptions& o) {
  args.insert(args.begin(), "yvn2psd");
  return cli::ParseArguments(static_cast<int>(args.size()), args.data(), o);
}

}  // namespace

TEST(ParseArguments, DefaultsAndPositionals) {
  CommandOptions o;
  ASSERT_TRUE(Parse({"a.yvn", "-q", "b.psd"}, o));
  EXPECT_EQ(o.srcArg, "a.yvn");
  EXPECT_EQ(o.dstArg, "b.psd");
  EXPECT_TRUE(o.quiet);
  EXPECT_FALSE(o.force);
  EXPECT_FALSE(o.listing);
  EXPECT_FALSE(o.overwriteAll);
  EXPECT_TRUE(o.compress);
  EXPECT_FALSE(o.inputPath);
  EXPECT_FALSE(o.outputPath);
}

TEST(ParseArguments, NoArgumentsOrAThirdPositionalFail) {
  CommandOptions o;
  EXPECT_FALSE(Parse({}, o));
  CommandOptions p;
  EXPECT_FALSE(Parse({"a.yvn", "b.psd", "-W", "c.psd"}, p));
  EXPECT_FALSE(p.srcArg);
  EXPECT_FALSE(p.dstArg);
  CommandOptions q;
  EXPECT_TRUE(Parse({"-q", "-W"}, q));  // only options: the caller finds no source
  EXPECT_FALSE(q.srcArg);
}

TEST(ParseArguments, OnlyTheSecondCharacterDecidesCaseSensitively) {
  CommandOptions o;
  ASSERT_TRUE(Parse({"-f", "-w", "-l", "-Q", "-I/x", "-O/y", "-", "-?"}, o));
  EXPECT_FALSE(o.force);
  EXPECT_FALSE(o.overwriteAll);
  EXPECT_FALSE(o.listing);
  EXPECT_FALSE(o.quiet);
  EXPECT_FALSE(o.inputPath);
  EXPECT_FALSE(o.outputPath);
  EXPECT_FALSE(o.srcArg);

  CommandOptions p;
  ASSERT_TRUE(Parse({"-Force", "-Lx", "-Wow", "-quiet"}, p));
  EXPECT_TRUE(p.force);
  EXPECT_TRUE(p.listing);
  EXPECT_TRUE(p.overwriteAll);
  EXPECT_TRUE(p.quiet);
}

TEST(ParseArguments, CompressionIsClearedOnlyByZero) {
  for (const char* arg : {"-z", "-z1", "-zz0", "-Z0"}) {
    CommandOptions o;
    ASSERT_TRUE(Parse({arg}, o));
    EXPECT_TRUE(o.compress) << arg;
  }
  for (const char* arg : {"-z0", "-z00", "-z0abc"}) {
    CommandOptions o;
    ASSERT_TRUE(Parse({arg}, o));
    EXPECT_FALSE(o.compress) << arg;
  }
}

TEST(ParseArguments, PathsTakeTheRestLiterallyAndTheLastOneWins) {
  CommandOptions o;
  ASSERT_TRUE(Parse({"-i/first", "-o\"q\"", "-i/second dir", "-o"}, o));
  EXPECT_EQ(o.inputPath, "/second dir");
  EXPECT_EQ(o.outputPath, "");  // present but empty
}
