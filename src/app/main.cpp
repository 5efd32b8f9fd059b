#include "app/headless.h"
#include "app/startup.h"
#include "app/version.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", krel::kAppVersion);
            return 0;
        }
        if (std::strcmp(argv[i], "--headless") == 0) return krel::runHeadless();
        args.emplace_back(argv[i]);
    }
    return krel::runDesktop(args);
}
