#include "temp_dir.h"

#include <stdexcept>
#include <string>

#include <stdlib.h>

namespace krel::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "krel-test.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

} // namespace krel::test
