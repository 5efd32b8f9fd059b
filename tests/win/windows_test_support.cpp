#include "windows_test_support.h"

#include "cloud/http_client.h"
#include "config/environment.h"
#include "config/utf8_path.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace krel::test {
namespace {

std::string serviceUrl() {
    const auto url = environmentValue("KREL_TEST_SERVICE_URL");
    if (!url || url->empty()) throw std::runtime_error("KREL_TEST_SERVICE_URL fehlt (tests/win/with_service.sh)");
    return *url;
}

void closeHandle(void*& handle) {
    if (handle) CloseHandle(handle);
    handle = nullptr;
}

} // namespace

std::filesystem::path hostPath(const char* unixPath) {
    return pathFromUtf8(std::string("Z:") + unixPath);
}

std::vector<uint8_t> readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + utf8FromPath(file));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + utf8FromPath(file));
}

nlohmann::json ServiceSwitches::post(const std::string& path, const nlohmann::json& body) {
    std::string reply;
    const int status = httpRequest("POST", serviceUrl() + path, body.dump(), "application/json", "", reply);
    if (status != 200) throw std::runtime_error("test switch " + path + " failed: " + std::to_string(status));
    return nlohmann::json::parse(reply);
}

std::filesystem::path ServiceSwitches::updateDir() {
    const auto dir = environmentValue("KREL_TEST_UPDATE_DIR");
    if (!dir) throw std::runtime_error("KREL_TEST_UPDATE_DIR fehlt (tests/win/with_service.sh)");
    return pathFromUtf8(*dir);
}

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    HANDLE in = nullptr, out = nullptr;
    if (!CreatePipe(&childIn, &in, &inherit, 0) || !CreatePipe(&out, &childOut, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(in, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
    input_ = in;
    output_ = out;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + program.wstring() + L"\" " + arguments;
    PROCESS_INFORMATION info{};
    const bool started = CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &info);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (!started) {
        closeHandle(input_);
        closeHandle(output_);
        throw std::runtime_error("CreateProcessW failed: " + std::to_string(GetLastError()));
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
}

ChildProcess::~ChildProcess() {
    closeInput();
    if (process_) WaitForSingleObject(process_, 30000);
    closeHandle(output_);
    closeHandle(process_);
}

void ChildProcess::closeInput() { closeHandle(input_); }

std::string ChildProcess::readAllOutput() {
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(output_, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
    return text;
}

unsigned long ChildProcess::wait() {
    WaitForSingleObject(process_, 30000);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
}

} // namespace krel::test
