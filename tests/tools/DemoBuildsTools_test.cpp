// The README's main command (scripts/demo.sh) leaves every program the tools page names built,
// and the tools page gives the one command per flavor that builds them.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string SourceFile(const std::string& path) {
  std::ifstream in(std::string(KELDA_RESOURCES_DIR) + "/../" + path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of `text` that hold `marker`.
std::vector<std::string> LinesWith(const std::string& text, const std::string& marker) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.find(marker) != std::string::npos) lines.push_back(line + " ");
  return lines;
}

}  // namespace

TEST(DemoBuildsTools, EveryProgramTheDocsNameIsBuilt) {
  const std::string demo = SourceFile("scripts/demo.sh");
  const std::string docs = SourceFile("docs/tools.md");
  ASSERT_FALSE(demo.empty());
  ASSERT_FALSE(docs.empty());
  const std::vector<std::string> demoBuilds = LinesWith(demo, "cmake --build");
  const std::vector<std::string> docsBuilds = LinesWith(docs, "cmake --build --preset");
  ASSERT_EQ(demoBuilds.size(), 1u);
  ASSERT_EQ(docsBuilds.size(), 2u) << "one command per flavor";
  EXPECT_NE(docsBuilds[0].find("native"), std::string::npos);
  EXPECT_NE(docsBuilds[1].find("win32"), std::string::npos);
  for (const char* program : {"kelda-host", "kelda-plcsim"}) {
    ASSERT_NE(docs.find(std::string("`") + program), std::string::npos) << "the page names " << program;
    const std::string target = std::string(" ") + program + " ";
    EXPECT_NE(demoBuilds[0].find(target), std::string::npos) << demoBuilds[0];
    for (const std::string& line : docsBuilds) EXPECT_NE(line.find(target), std::string::npos) << line;
  }
}
