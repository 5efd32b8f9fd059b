#pragma once
// Helpers of the Windows backend tests (run under Wine).

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace krel::test {

// A path of the build machine (as CMake names it) as the Windows program
// sees it: Wine shows the host's root as drive Z:.
std::filesystem::path hostPath(const char* unixPath);

std::vector<uint8_t> readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);

// The local service that tests/win/with_service.sh started: its test
// switches over plain HTTP, and the folder it serves as downloads.
struct ServiceSwitches {
    static nlohmann::json post(const std::string& path, const nlohmann::json& body);
    static std::filesystem::path updateDir();
};

// A child process with a pipe on its standard input and one on its
// standard output; it is waited for (and its handles closed) on
// destruction.
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, const std::wstring& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void closeInput();  // a waiting program then ends
    std::string readAllOutput();
    unsigned long wait(); // the exit code

private:
    void* process_ = nullptr;
    void* input_ = nullptr;
    void* output_ = nullptr;
};

} // namespace krel::test
