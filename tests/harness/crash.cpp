// A program that crashes. The harness must report it as a failure at once, never hang in a
// debugger or pass by accident.
#include <windows.h>

int main() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
