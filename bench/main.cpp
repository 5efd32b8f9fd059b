#include "bench.h"

#include <cstring>

int main(int argc, char** argv) {
    for (const auto& g : krel::bench::groups()) {
        bool wanted = argc < 2;
        for (int i = 1; i < argc; ++i) wanted = wanted || std::strstr(g.name, argv[i]) != nullptr;
        if (wanted) g.run();
    }
    return 0;
}
