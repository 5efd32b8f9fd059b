#include "config_test_support.h"

#include "config/data_directory.h"
#include "config/utf8_path.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace krel::test {
namespace {

std::filesystem::path& dataDirSlot() {
    static std::filesystem::path dir;
    return dir;
}

// Points KREL_PLAY_DATA_DIR at a fresh folder and fixes the data folder of
// this process before any test can ask for it.
class DataDirEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        root_ = std::make_unique<TempDir>();
        const auto dir = root_->path() / "data";
        ScopedEnv::set("KREL_PLAY_DATA_DIR", utf8FromPath(dir));
        dataDirSlot() = krel::dataDirectory();
        ASSERT_EQ(dataDirSlot(), dir);
    }
    void TearDown() override { root_.reset(); }

private:
    std::unique_ptr<TempDir> root_;
};

[[maybe_unused]] const auto* const kDataDirEnvironment =
    ::testing::AddGlobalTestEnvironment(new DataDirEnvironment);

} // namespace

const std::filesystem::path& testDataDirectory() { return dataDirSlot(); }

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::filesystem::path& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

} // namespace krel::test
