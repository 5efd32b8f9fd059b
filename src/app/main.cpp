#include "app/headless.h"
#include "app/version.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", krel::kAppVersion);
            return 0;
        }
        if (std::strcmp(argv[i], "--headless") == 0) return krel::runHeadless();
    }
    std::printf("KREL Play %s\n", krel::kAppVersion);
    std::printf("Ohne Oberfläche starten: krel-play --headless\n");
    return 0;
}
