// A real executable for the update tests to swap out while it runs: it
// waits until its standard input is closed, then ends.
#include <windows.h>

int main() {
    char buffer[64];
    DWORD n = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &n, nullptr) && n > 0) {
    }
    return 0;
}
