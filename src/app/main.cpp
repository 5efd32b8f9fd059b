#include "app/version.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", krel::kAppVersion);
            return 0;
        }
    }
    std::printf("KREL Play %s\n", krel::kAppVersion);
    return 0;
}
