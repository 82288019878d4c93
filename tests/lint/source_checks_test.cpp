// Checks over the sources. Library sources call the accurate device math functions unless an
// operator is defined on a fast approximation; each such use is named in
// fast_intrinsics_allowed.txt (the emulator gives the fast intrinsics the GPU's larger errors, but
// only a test near the bound would notice a stray one). Every kernel declares launch bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char* const fast_names[] = {"__expf",  "__exp10f", "__logf",    "__log2f",    "__log10f",
                                  "__powf",  "__sinf",   "__cosf",    "__tanf",     "__sincosf",
                                  "__fdividef", "fdividef", "rsqrtf", "rsqrt",      "exp2f"};

// The text with comments, string and character literals blanked (newlines kept).
std::string code_only(const std::string& text) {
  std::string out = text;
  enum { code, line_comment, block_comment, string, character } state = code;
  for (size_t i = 0; i < out.size(); ++i) {
    const char c = out[i], next = i + 1 < out.size() ? out[i + 1] : '\0';
    switch (state) {
      case code:
        if (c == '/' && next == '/') { state = line_comment; out[i] = ' '; }
        else if (c == '/' && next == '*') { state = block_comment; out[i] = ' '; }
        else if (c == '"') state = string;
        else if (c == '\'') state = character;
        break;
      case line_comment:
        if (c == '\n') state = code; else out[i] = ' ';
        break;
      case block_comment:
        if (c == '*' && next == '/') { out[i] = out[i + 1] = ' '; ++i; state = code; }
        else if (c != '\n') out[i] = ' ';
        break;
      case string:
      case character:
        if (c == '\\') { out[i] = ' '; if (i + 1 < out.size() && out[i + 1] != '\n') out[++i] = ' '; }
        else if (c == (state == string ? '"' : '\'')) state = code;
        else if (c != '\n') out[i] = ' ';
        break;
    }
  }
  return out;
}

struct use {
  std::string file;
  std::string name;
  bool operator<(const use& o) const { return std::tie(file, name) < std::tie(o.file, o.name); }
};

TEST(FastIntrinsics, OnlyWhereTheAllowListNamesThem) {
  const fs::path root = KR_SOURCE_DIR;
  std::set<use> allowed;
  std::map<use, int> allow_lines;
  {
    std::ifstream list(root / "tests/lint/fast_intrinsics_allowed.txt");
    ASSERT_TRUE(list) << "cannot read tests/lint/fast_intrinsics_allowed.txt";
    std::string line;
    for (int number = 1; std::getline(list, line); ++number) {
      line = line.substr(0, line.find('#'));
      std::istringstream fields(line);
      use u;
      if (!(fields >> u.file)) continue;
      ASSERT_TRUE(fields >> u.name) << "fast_intrinsics_allowed.txt:" << number << ": missing intrinsic";
      ASSERT_TRUE(std::find(std::begin(fast_names), std::end(fast_names), u.name) != std::end(fast_names))
          << "fast_intrinsics_allowed.txt:" << number << ": " << u.name << " is not a checked name";
      allowed.insert(u);
      allow_lines[u] = number;
    }
  }

  std::string alternatives;
  for (const char* n : fast_names) alternatives += std::string(alternatives.empty() ? "" : "|") + n;
  const std::regex call("(^|[^A-Za-z0-9_])(" + alternatives + ")\\s*\\(");
  std::set<use> seen;
  std::vector<std::string> unlisted;
  for (const char* dir : {"runtime", "ops", "numerics", "include"}) {
    if (!fs::exists(root / dir)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root / dir)) {
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".cu" && ext != ".cuh" && ext != ".h" && ext != ".cpp")) continue;
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      const std::string code = code_only(text.str());
      const std::string file = fs::relative(entry.path(), root).generic_string();
      for (auto it = std::sregex_iterator(code.begin(), code.end(), call); it != std::sregex_iterator(); ++it) {
        const use u{file, (*it)[2].str()};
        const size_t line = 1 + std::count(code.begin(), code.begin() + it->position(2), '\n');
        seen.insert(u);
        if (allowed.count(u) == 0) unlisted.push_back(file + ":" + std::to_string(line) + ": " + u.name);
      }
    }
  }
  for (const std::string& u : unlisted) {
    ADD_FAILURE() << u << " is a fast approximation: use the accurate function, or name the file and the "
                  << "intrinsic in tests/lint/fast_intrinsics_allowed.txt with the reason";
  }
  for (const use& u : allowed) {
    EXPECT_TRUE(seen.count(u) != 0) << "fast_intrinsics_allowed.txt:" << allow_lines[u] << ": " << u.file
                                    << " no longer calls " << u.name << "; remove the line";
  }
}

// Every kernel of the library and of the test modules built by nvcc declares __launch_bounds__ for
// the largest block it is launched with (kernel_resources checks the budgets over the nvcc build).
TEST(KernelDeclarations, EveryKernelDeclaresLaunchBounds) {
  const fs::path root = KR_SOURCE_DIR;
  const std::regex kernel("__global__([^;{]*?)\\(");
  for (const char* dir : {"runtime", "ops", "numerics", "tests"}) {
    for (const auto& entry : fs::recursive_directory_iterator(root / dir)) {
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".cu" && ext != ".cuh")) continue;
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      const std::string code = code_only(text.str());
      for (auto it = std::sregex_iterator(code.begin(), code.end(), kernel); it != std::sregex_iterator(); ++it) {
        const size_t line = 1 + std::count(code.begin(), code.begin() + it->position(0), '\n');
        EXPECT_NE((*it)[1].str().find("__launch_bounds__"), std::string::npos)
            << fs::relative(entry.path(), root).generic_string() << ":" << line
            << ": a kernel without __launch_bounds__ (write `__global__ void __launch_bounds__(N) name(...)`)";
      }
    }
  }
}

// Nothing builds the library with fast-math, which would replace accurate functions behind the
// sources' back.
TEST(FastIntrinsics, NoFastMathFlags) {
  const fs::path root = KR_SOURCE_DIR;
  std::vector<fs::path> files = {root / "CMakeLists.txt"};
  for (const char* dir : {"cmake", "tests", "tools", "bench", "emulator"}) {
    for (const auto& entry : fs::recursive_directory_iterator(root / dir))
      if (entry.path().filename() == "CMakeLists.txt" || entry.path().extension() == ".cmake")
        files.push_back(entry.path());
  }
  const std::regex flag("use_fast_math|-ffast-math|-Ofast|--ftz=true|-ftz=true");
  for (const fs::path& f : files) {
    std::ifstream in(f);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      line = line.substr(0, line.find('#'));
      EXPECT_FALSE(std::regex_search(line, flag)) << f.string() << ":" << number << ": " << line;
    }
  }
}

// The tools stand on the library's header, the export registry and the host references, and the
// registry and references stand on nothing else: none of them includes a file of the test suites,
// and none of their build files puts tests/ on an include path.
TEST(Layering, ToolsRegistryAndReferencesDoNotIncludeTheTests) {
  const fs::path root = KR_SOURCE_DIR;
  const std::regex include_line(R"re(^\s*#\s*include\s*"([^"]+)")re");
  const std::regex test_headers(R"(^(support|tests)/)");
  for (const char* dir : {"tools", "registry", "reference"}) {
    for (const auto& entry : fs::recursive_directory_iterator(root / dir)) {
      const std::string name = entry.path().filename().string();
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path());
      std::string line;
      for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = fs::relative(entry.path(), root).generic_string() + ":" + std::to_string(number);
        std::smatch m;
        if ((ext == ".cpp" || ext == ".h") && std::regex_search(line, m, include_line)) {
          EXPECT_FALSE(std::regex_search(m[1].str(), test_headers)) << where << ": includes " << m[1].str();
        }
        if (name == "CMakeLists.txt" && line.find("include_directories") != std::string::npos) {
          EXPECT_EQ(line.find("/tests"), std::string::npos) << where << ": " << line;
        }
      }
    }
  }
}

}  // namespace
