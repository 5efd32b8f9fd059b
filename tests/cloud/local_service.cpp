#include "local_service.h"

#include "cloud/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace krel::test {
namespace {

struct ProcessEnv {
    TempDir root;
    ProcessEnv() {
        std::filesystem::create_directories(root / "data");
        std::filesystem::create_directories(root / "config");
        setenv("KREL_PLAY_DATA_DIR", (root / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        // The user key goes to the key file in the config folder above, never
        // into a keyring of the session the tests run in.
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        std::filesystem::create_directories(root / "runtime");
        std::filesystem::permissions(root / "runtime", std::filesystem::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
        unsetenv("http_proxy");
        unsetenv("https_proxy");
        unsetenv("HTTP_PROXY");
        unsetenv("HTTPS_PROXY");
    }
};

ProcessEnv& processEnv() {
    static ProcessEnv env;
    return env;
}

int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &quiet, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::filesystem::path testDataDir() {
    return processEnv().root / "data";
}

std::string readLog() {
    std::ifstream in(testDataDir() / "krel-play.log", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

const std::vector<uint8_t>& sampleMp4() {
    static std::vector<uint8_t> bytes;
    static std::once_flag once;
    std::call_once(once, [] {
        const auto file = processEnv().root / "sample.mp4";
        const int rc = run({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                            "testsrc=size=320x240:rate=30", "-t", "2", "-c:v", "libx264", "-pix_fmt",
                            "yuv420p", file.string()});
        if (rc != 0) throw std::runtime_error("ffmpeg could not make the sample clip");
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    });
    return bytes;
}

TestCa::TestCa() : cert_(dir_ / "ca.pem"), key_(dir_ / "ca.key") {
    if (run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
             "/CN=KREL Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
             "keyUsage=critical,keyCertSign", "-keyout", key_.string(), "-out", cert_.string()}) != 0)
        throw std::runtime_error("openssl could not make the test authority");
}

std::pair<std::filesystem::path, std::filesystem::path> TestCa::issue(const std::string& host) {
    const auto base = dir_ / host;
    const auto key = base.string() + ".key";
    const auto request = base.string() + ".csr";
    const auto cert = base.string() + ".pem";
    const bool ip = host.find_first_not_of("0123456789.") == std::string::npos;
    const std::string san = "subjectAltName=" + std::string(ip ? "IP:" : "DNS:") + host;
    if (run({"/usr/bin/openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + host,
             "-addext", san, "-keyout", key, "-out", request}) != 0 ||
        run({"/usr/bin/openssl", "x509", "-req", "-in", request, "-CA", cert_.string(), "-CAkey", key_.string(),
             "-CAcreateserial", "-days", "1", "-copy_extensions", "copy", "-out", cert}) != 0)
        throw std::runtime_error("openssl could not issue a certificate");
    return {cert, key};
}

LocalService::LocalService(const ServiceOptions& options) : tls_(options.tls || !options.tlsCert.empty()) {
    processEnv();
    updateDir_ = dir_ / "updates";
    std::filesystem::create_directories(updateDir_);
    std::vector<std::string> argv = {
        KREL_PYTHON3, KREL_SERVICE_SCRIPT, "--data",       (dir_ / "store").string(), "--port",
        "0",          "--test-switches",   "--update-dir", updateDir_.string()};
    if (!options.tlsCert.empty()) {
        argv.insert(argv.end(), {"--tls-cert", options.tlsCert.string(), "--tls-key", options.tlsKey.string()});
    } else if (tls_) {
        const auto cert = dir_ / "cert.pem";
        const auto key = dir_ / "key.pem";
        if (run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                 "/CN=127.0.0.1", "-keyout", key.string(), "-out", cert.string()}) != 0)
            throw std::runtime_error("openssl could not make a certificate");
        argv.insert(argv.end(), {"--tls-cert", cert.string(), "--tls-key", key.string()});
    }
    argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("could not start the local service");
    }
    // The first line is "PORT <n>".
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[64];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (line.rfind("PORT ", 0) != 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("the local service did not report its port");
    }
    port_ = std::stoi(line.substr(5));
    setenv("KREL_PLAY_API_URL", baseUrl().c_str(), 1);
    setenv("KREL_PLAY_UPDATE_URL", (baseUrl() + "/downloads/play/").c_str(), 1);
}

LocalService::~LocalService() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string LocalService::baseUrl() const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}

nlohmann::json LocalService::post(const std::string& path, const nlohmann::json& body) {
    std::string reply;
    const int status = httpRequest("POST", "http://127.0.0.1:" + std::to_string(port_) + path, body.dump(),
                                   "application/json", "", reply);
    if (status != 200) throw std::runtime_error("test switch " + path + " failed: " + std::to_string(status));
    return nlohmann::json::parse(reply);
}

nlohmann::json LocalService::get(const std::string& path) {
    std::string reply;
    const int status = httpRequest("GET", "http://127.0.0.1:" + std::to_string(port_) + path, "",
                                   "application/json", "", reply);
    if (status != 200) throw std::runtime_error("test switch " + path + " failed: " + std::to_string(status));
    return nlohmann::json::parse(reply);
}

std::string LocalService::addUser(const std::string& email, const std::string& password) {
    return post("/_test/users", {{"email", email}, {"password", password}})["authKey"].get<std::string>();
}

void LocalService::addFaults(const std::string& method, const std::string& pathRegex,
                             const nlohmann::json& actions) {
    post("/_test/faults", {{"method", method}, {"path", pathRegex}, {"actions", actions}});
}

nlohmann::json LocalService::requests() {
    return get("/_test/log")["requests"];
}
nlohmann::json LocalService::state() {
    return get("/_test/state");
}

} // namespace krel::test
