#pragma once
// A test fixture with the local service running and a user signed in.

#include "cloud/account.h"
#include "local_service.h"

#include <gtest/gtest.h>

namespace krel::test {

class SignedIn : public ::testing::Test {
protected:
    static constexpr const char* kEmail = "cloud@example.de";
    static constexpr const char* kPassword = "Wolke-7";

    explicit SignedIn(const ServiceOptions& options = {}) : svc_(options) {}

    void SetUp() override {
        std::filesystem::remove(accountFilePath());
        svc_.addUser(kEmail, kPassword);
        std::string error;
        ASSERT_TRUE(signIn(kEmail, kPassword, error)) << error;
    }

    // API requests seen by the service after the sign-in.
    nlohmann::json apiRequests() {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& r : svc_.requests())
            if (r["path"] != "/api/browse/v1/login") out.push_back(r);
        return out;
    }

    LocalService svc_;
};

} // namespace krel::test
