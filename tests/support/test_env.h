// A private world for one test: a temporary directory holding the registry file, the
// runtime directory and a server home, with NVL_REGISTRY and NVL_RUNTIME_DIR pointing at them.
// Child processes that a test forks or starts inherit the same world.
#pragma once

#include <string>
#include <string_view>

namespace nvl::test {

class TestEnv {
  public:
    // Creates the directories and a registry whose Local_Path names the home directory.
    TestEnv();
    ~TestEnv();
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    const std::string& root() const { return root_; }          // the temporary directory
    const std::string& home() const { return home_; }          // server home, ends in '/'
    const std::string& registry() const { return registry_; }  // the registry file
    const std::string& runtime() const { return runtime_; }    // the runtime directory

    // Writes `text` to a file below root() (parents created) and returns its full path. A write
    // of the registry file is seen by this process's next look-up.
    std::string writeFile(std::string_view relativePath, std::string_view text) const;

  private:
    std::string root_, home_, registry_, runtime_;
    std::string savedRegistry_, savedRuntime_;
    bool hadRegistry_ = false, hadRuntime_ = false;
};

// The whole contents of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace nvl::test
