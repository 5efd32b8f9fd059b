#pragma once
// Runs tools/krel-service on a free loopback port for the life of the
// object, with its storage in a fresh folder, and points the program's API
// and update addresses at it. Also prepares a private data folder and user
// config folder for the process (once), so account files and the log of the
// tests never touch the real ones.

#include "temp_dir.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace krel::test {

struct ServiceOptions {
    std::vector<std::string> extraArgs; // e.g. "--chunk-size", "0"
    bool tls = false;                   // serve HTTPS with a self-signed certificate
    // Serve HTTPS with this certificate and key instead (implies tls).
    std::filesystem::path tlsCert, tlsKey;
};

// A certificate authority of its own (openssl), made in a fresh folder.
class TestCa {
public:
    TestCa();
    const std::filesystem::path& certificate() const { return cert_; } // PEM, for the client to trust
    // A server certificate and key signed by this authority for `host` (an
    // IP address or a DNS name, as subject alternative name).
    std::pair<std::filesystem::path, std::filesystem::path> issue(const std::string& host);

private:
    TempDir dir_;
    std::filesystem::path cert_, key_;
};

class LocalService {
public:
    explicit LocalService(const ServiceOptions& options = {});
    ~LocalService();
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;

    int port() const { return port_; }
    std::string baseUrl() const; // "http://127.0.0.1:<port>"
    const std::filesystem::path& updateDir() const { return updateDir_; }

    // The test switches of the service.
    nlohmann::json post(const std::string& path, const nlohmann::json& body);
    nlohmann::json get(const std::string& path);
    // Adds an account; returns the authKey the service derived itself.
    std::string addUser(const std::string& email, const std::string& password);
    void addFaults(const std::string& method, const std::string& pathRegex, const nlohmann::json& actions);
    nlohmann::json requests(); // the request log
    nlohmann::json state();

private:
    TempDir dir_;
    std::filesystem::path updateDir_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool tls_ = false;
};

// The process-wide data folder (KREL_PLAY_DATA_DIR) the tests use.
std::filesystem::path testDataDir();
// Content of krel-play.log in that folder ("" when absent).
std::string readLog();
// A small real H.264 MP4 (about 2 s, 320x240) made once per process by ffmpeg.
const std::vector<uint8_t>& sampleMp4();
void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

} // namespace krel::test
