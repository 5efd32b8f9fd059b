// Speed of the account key derivation (600 000 PBKDF2 rounds, paid once per
// sign-in on a worker thread) and of the update's SHA-256 check.
#include "app/update.h"
#include "bench.h"
#include "cloud/account.h"

#include <chrono>
#include <vector>

KREL_BENCH("cloud") {
    using Clock = std::chrono::steady_clock;
    constexpr int kRounds = 3;
    const auto t0 = Clock::now();
    size_t sink = 0;
    for (int i = 0; i < kRounds; ++i)
        sink +=
            krel::deriveAuthKey("bench@example.de", "Passwort " + std::to_string(i), krel::kAuthKeyIterations)
                .size();
    const double deriveMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / kRounds;
    krel::bench::report("authkey_derivation", deriveMs, "ms");

    std::vector<uint8_t> exe(64u << 20);
    for (size_t i = 0; i < exe.size(); ++i)
        exe[i] = static_cast<uint8_t>(i * 131 + sink);
    const auto t1 = Clock::now();
    const std::string digest = krel::sha256Hex(exe);
    const double secs = std::chrono::duration<double>(Clock::now() - t1).count();
    krel::bench::report("update_sha256", static_cast<double>(exe.size()) / (1 << 20) / secs, "MiB/s");
}
